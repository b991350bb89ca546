#include "commands/statement.h"

#include "commands/condition.h"
#include "util/text_buffer.h"

std::string_view selectList(std::string_view fields) {
  return isWholeWord(fields, "all") ? std::string_view("*") : fields;
}

size_t buildStatement(std::string_view fields, std::string_view filter, Day first, Day after,
                      std::span<char> out) {
  return buildStatementBetween(fields, filter, isoText(first), isoText(after), out);
}

std::string_view selectOf(std::string_view statement) {
  // kSelectStart without its SELECT opens the bracket the SELECT is in.
  constexpr size_t kOpen = kSelectStart.size() - std::string_view("SELECT ").size();
  constexpr size_t kClose = kSelectEnd.size() + kCopyOptions.size();
  if (statement.size() < kOpen + kClose) return {};
  return statement.substr(kOpen, statement.size() - kOpen - kClose);
}

size_t buildStatementBetween(std::string_view fields, std::string_view filter,
                             std::string_view from, std::string_view to, std::span<char> out) {
  TextBuffer statement(out);
  statement.put(kSelectStart);
  statement.put(fields);
  statement.put(kRangeFrom);
  statement.put(from);
  statement.put(kRangeTo);
  statement.put(to);
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
