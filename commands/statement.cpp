#include "commands/statement.h"

#include "commands/condition.h"
#include "util/text_buffer.h"

std::string_view selectList(std::string_view fields) {
  return isWholeWord(fields, "all") ? std::string_view("*") : fields;
}

size_t buildStatement(std::string_view fields, std::string_view filter, Day first, Day after,
                      std::span<char> out) {
  TextBuffer statement(out);
  statement.vdPut("COPY (SELECT ");
  statement.vdPut(fields);
  statement.vdPut(" FROM transaction WHERE transaction.datetime>='");
  statement.vdPut(isoText(first));
  statement.vdPut("' AND transaction.datetime<'");
  statement.vdPut(isoText(after));
  statement.vdPut("'");
  if (!filter.empty()) {
    statement.vdPut(" AND (");
    statement.vdPut(filter);
    statement.vdPut("\n)");
  }
  statement.vdPut(") TO STDOUT WITH (DELIMITER '|')");
  return statement.needed;
}
