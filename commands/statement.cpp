#include "commands/statement.h"

#include "commands/condition.h"
#include "util/text_buffer.h"

std::string_view selectList(std::string_view fields) {
  return isWholeWord(fields, "all") ? std::string_view("*") : fields;
}

size_t buildStatement(std::string_view fields, std::string_view filter, std::span<char> out) {
  TextBuffer statement(out);
  statement.vdPut("SELECT ");
  statement.vdPut(fields);
  statement.vdPut(" FROM transaction WHERE transaction.datetime>=$1 AND transaction.datetime<$2");
  if (!filter.empty()) {
    statement.vdPut(" AND (");
    statement.vdPut(filter);
    statement.vdPut("\n)");
  }
  return statement.needed;
}

void putDayParam(Day day, DayParam& param) {
  TextBuffer bound(param);
  bound.vdPut(isoText(day));
}
