#include "commands/statement.h"

#include "commands/condition.h"
#include "util/text_buffer.h"

std::string_view selectList(std::string_view fields) {
  return isWholeWord(fields, "all") ? std::string_view("*") : fields;
}

size_t buildStatement(std::string_view fields, std::string_view filter, Day first, Day after,
                      std::span<char> out) {
  TextBuffer statement(out);
  statement.put("COPY (SELECT ");
  statement.put(fields);
  statement.put(" FROM transaction WHERE transaction.datetime>='");
  statement.put(isoText(first));
  statement.put("' AND transaction.datetime<'");
  statement.put(isoText(after));
  statement.put("'");
  if (!filter.empty()) {
    statement.put(" AND (");
    statement.put(filter);
    statement.put("\n)");
  }
  statement.put(") TO STDOUT WITH (DELIMITER '|')");
  return statement.needed;
}
