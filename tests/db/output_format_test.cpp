// What COPY ... TO STDOUT sends, decoded, against what the server gives
// value by value: the lines of the default format must be the same bytes.
#include <libpq-fe.h>

#include <string>
#include <vector>

#include "commands/output_format.h"
#include "tests/support/db_fixture.h"

namespace {

class OutputFormatDb : public DbTest {};

// Every awkward value in text, bytea and an array, NULLs and empty values
// among them.
const char* const kAwkward = R"sql(
CREATE TABLE awkward (id int, t text, b bytea, a text[], e text);
INSERT INTO awkward
  SELECT i, chr(i), decode(lpad(to_hex(i), 2, '0'), 'hex'), ARRAY[chr(i), NULL], ''
  FROM generate_series(1, 127) i;
INSERT INTO awkward VALUES
  (200, E'\\', '\x5c7c0a0d00ff'::bytea, ARRAY['a|b', 'c\d', '"q"'], NULL),
  (201, E'\\N', NULL, '{}', 'N'),
  (202, 'a|b|', E'\\x00'::bytea, NULL, E'\\|'),
  (203, E'C:\\path\\to\\n.txt', '', ARRAY[''], E'\\\\'),
  (204, E'{"k": "v\\"w"}', NULL, NULL, NULL),
  (205, E'line\nbreak\r\n', NULL, NULL, E'\t'),
  (206, 'é€😀', convert_to('é€😀', 'UTF8'), ARRAY['é'], '|'),
  (207, NULL, NULL, NULL, NULL),
  (208, '', '', NULL, ''),
  (209, (SELECT string_agg(chr(i), '') FROM generate_series(1, 255) i), NULL, NULL,
   repeat(E'\\|', 50000));
)sql";

const char* const kSelect = "SELECT id, t, b, a, e FROM awkward ORDER BY id";

}  // namespace

TEST_F(OutputFormatDb, DecodedCopyRowsAreTheValuesJoined) {
  runSql(kAwkward);
  std::vector<std::string> expected;
  size_t expectedBreaking = 0;
  PGresult* values = PQexec(conn_, kSelect);
  ASSERT_EQ(PQresultStatus(values), PGRES_TUPLES_OK) << PQerrorMessage(conn_);
  for (int row = 0; row < PQntuples(values); ++row) {
    std::string line;
    for (int col = 0; col < PQnfields(values); ++col) {
      const std::string value(PQgetvalue(values, row, col),
                              static_cast<size_t>(PQgetlength(values, row, col)));
      if (value.find_first_of("|\n\r") != std::string::npos) ++expectedBreaking;
      line += value + (col + 1 < PQnfields(values) ? "|" : "\n");
    }
    expected.push_back(line);
  }
  PQclear(values);
  ASSERT_EQ(expected.size(), 137U);

  const std::string copy = std::string("COPY (") + kSelect + ") TO STDOUT WITH (DELIMITER '|')";
  ASSERT_EQ(PQsendQuery(conn_, copy.c_str()), 1);
  PGresult* start = PQgetResult(conn_);
  ASSERT_EQ(PQresultStatus(start), PGRES_COPY_OUT) << PQerrorMessage(conn_);
  PQclear(start);
  std::vector<std::string> lines;
  std::vector<std::string> copyLines;
  size_t breaking = 0;
  char* buffer = nullptr;
  for (int len; (len = PQgetCopyData(conn_, &buffer, 0)) > 0;) {
    const std::string_view row(buffer, static_cast<size_t>(len));
    copyLines.emplace_back(row);
    const DecodedRow decoded = decodeCopyRow(row, buffer, ClientEncoding::kAsciiSafe);
    lines.emplace_back(buffer, decoded.length);
    breaking += decoded.breakingValues;
    PQfreemem(buffer);
  }
  PGresult* end = PQgetResult(conn_);
  EXPECT_EQ(PQresultStatus(end), PGRES_COMMAND_OK) << PQerrorMessage(conn_);
  PQclear(end);
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);

  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "row " << i;
  EXPECT_EQ(breaking, expectedBreaking);
  EXPECT_GE(breaking, 10U);
  // What the copy format keeps (escapes, \N) reads back as the same rows.
  runSql("CREATE TABLE back (LIKE awkward)");
  PGresult* copyIn = PQexec(conn_, "COPY back FROM STDIN WITH (DELIMITER '|')");
  ASSERT_EQ(PQresultStatus(copyIn), PGRES_COPY_IN) << PQerrorMessage(conn_);
  PQclear(copyIn);
  for (const std::string& line : copyLines) {
    ASSERT_EQ(PQputCopyData(conn_, line.data(), static_cast<int>(line.size())), 1);
  }
  ASSERT_EQ(PQputCopyEnd(conn_, nullptr), 1);
  PGresult* copied = PQgetResult(conn_);
  EXPECT_EQ(PQresultStatus(copied), PGRES_COMMAND_OK) << PQerrorMessage(conn_);
  PQclear(copied);
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  EXPECT_EQ(queryValue(conn_, "SELECT count(*) FROM (TABLE awkward EXCEPT ALL TABLE back) d"), "0");
  EXPECT_EQ(queryValue(conn_, "SELECT count(*) FROM back"), "137");
}
