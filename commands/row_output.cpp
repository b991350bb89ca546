#include "commands/row_output.h"

#include <cstdio>
#include <string_view>

#include "util/output.h"

int inPrintRows(DBData& data) {
  for (int row = 0; row < data.inRowCount; ++row) {
    for (int col = 0; col < data.inColCount; ++col) {
      vdDBGetData(row, col, data);
      if (col > 0 && std::fputc('|', stdout) == EOF) return -1;
      const std::string_view value(data.pszValue != nullptr ? data.pszValue : "",
                                   static_cast<size_t>(data.inValueLen));
      if (inPrintText(value) != 0) return -1;
    }
    if (std::fputc('\n', stdout) == EOF) return -1;
  }
  return std::ferror(stdout) != 0 ? -1 : 0;
}
