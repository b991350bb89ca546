#include "commands/statement.h"

#include "commands/condition.h"
#include "util/text_buffer.h"

std::string_view selectList(std::string_view fields) {
  return isWholeWord(fields, "all") ? std::string_view("*") : fields;
}

size_t buildStatement(std::string_view fields, std::string_view filter, Day first, Day after,
                      std::span<char> out) {
  TextBuffer statement(out);
  statement.put(kSelectStart);
  statement.put(fields);
  statement.put(kRangeFrom);
  statement.put(isoText(first));
  statement.put(kRangeTo);
  statement.put(isoText(after));
  statement.put(kRangeEnd);
  if (!filter.empty()) {
    statement.put(kFilterStart);
    statement.put(filter);
    statement.put(kFilterEnd);
  }
  statement.put(kSelectEnd);
  statement.put(kCopyOptions);
  return statement.needed;
}
