#include "commands/row_output.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "util/output.h"

namespace {

// Rows are assembled here, one after the other, and handed to standard
// output a buffer at a time: one write each once its buffer is as large.
constexpr size_t kLineBufferSize = kOutputBufferSize;

// Cells are fetched this many at a time.
constexpr size_t kCellBatch = 32;

struct LineBuffer {
  std::array<char, kLineBufferSize> text;
  size_t used = 0;
};

int inFlushLines(LineBuffer& lines) {
  const std::string_view pending(lines.text.data(), lines.used);
  lines.used = 0;
  return printText(pending);
}

// Appends one value and the byte that follows it ('|' or '\n') when they do
// not fit what is left: after what is pending, either into the emptied
// buffer or, too long for any buffer, straight to standard output.
int inPutLongValue(LineBuffer& lines, const DBCell& cell, char chAfter) {
  const auto len = static_cast<size_t>(cell.inLen);
  if (inFlushLines(lines) != 0) return -1;
  if (len >= lines.text.size()) {
    if (printText(std::string_view(cell.pszValue, len)) != 0) return -1;
  } else {
    std::memcpy(lines.text.data(), cell.pszValue, len);
    lines.used = len;
  }
  lines.text[lines.used++] = chAfter;
  return 0;
}

// Appends one value and the byte that follows it ('|' or '\n').
int inPutValue(LineBuffer& lines, const DBCell& cell, char chAfter) {
  const auto len = static_cast<size_t>(cell.inLen);
  if (len >= lines.text.size() - lines.used) return inPutLongValue(lines, cell, chAfter);
  std::memcpy(lines.text.data() + lines.used, cell.pszValue, len);
  lines.used += len;
  lines.text[lines.used++] = chAfter;
  return 0;
}

// Appends one row as its line: the values joined by '|', then '\n'.
int inPutRow(LineBuffer& lines, const DBData& data, int inRow) {
  // A result without columns (SELECT FROM ...) still has its lines.
  if (data.inColCount <= 0) return inPutValue(lines, DBCell{"", 0}, '\n');
  const int lastCol = data.inColCount - 1;
  std::array<DBCell, kCellBatch> cells;
  for (int first = 0; first <= lastCol;) {
    const int count = inDBGetCells(data, inRow, first, cells);
    if (count <= 0) return -1;
    for (int i = 0; i < count; ++i) {
      const char chAfter = first + i < lastCol ? '|' : '\n';
      if (inPutValue(lines, cells[static_cast<size_t>(i)], chAfter) != 0) return -1;
    }
    first += count;
  }
  return 0;
}

}  // namespace

int inPrintRows(const DBData& data) {
  LineBuffer lines;
  for (int row = 0; row < data.inRowCount; ++row) {
    if (inPutRow(lines, data, row) != 0) return -1;
  }
  if (inFlushLines(lines) != 0) return -1;
  return std::ferror(stdout) != 0 ? -1 : 0;
}
