// The export against a real PostgreSQL server (see DbTest): chunking, the
// filter, time zones, connection settings and the printed values.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/sweep_cases.h"
#include "tests/support/db_fixture.h"
#include "tests/support/final_message.h"
#include "tests/support/local_port.h"
#include "util/text.h"

namespace {

class Export : public DbTest {};

// Rows on chunk edges of 2024-02-20..2024-03-10 (20 days, a leap day inside).
// With 7 days the chunks are 02-20..02-26, 02-27..03-04 and 03-05..03-10.
TEST_F(Export, EveryChunkingGivesEachRowOnceInOrder) {
  insertStamps(
      "(1, '2024-02-19 23:59:59.999'), (2, '2024-02-20 00:00:00'), (3, '2024-02-26 23:59:59.5'), "
      "(4, '2024-02-27 00:00:00'), (5, '2024-02-29 12:00:00'), (6, '2024-03-04 23:59:59.5'), "
      "(7, '2024-03-05 00:00:00'), (8, '2024-03-10 23:59:59.999'), (9, '2024-03-11 00:00:00')");
  const std::string all = "2\n3\n4\n5\n6\n7\n8\nSuccess";
  struct Case {
    std::string program, from, to, days, delayMs, expected;
    std::string err{};
  };
  const std::string empty =
      "lumettool: warning: date-from 2024-03-10 is after date-to 2024-02-20: the range is empty\n";
  const std::vector<Case> cases{
      {"lumettool", "20240220", "20240310", "0", "0", all},
      {"lumettool", "20240220", "20240310", "-2", "0", all},
      {"lumettool", "20240220", "20240310", "1", "1", all},
      {"lumettool", "20240220", "20240310", "1", "-1", all},  // no pause, not a huge one
      {"lumettool", "20240220", "20240310", "7", "0", all},
      {"lumettool", "20240220", "20240310", "30", "0", all},
      {"lumettool", "20240220", "20240310", "2147483647", "0", all},
      {"lumettool-2.0", "20240220", "20240310", "7", "0", all},
      {"lumettool", "20240310", "20240220", "0", "0", finalMessage(Outcome::kSuccess), empty},
      {"lumettool", "20240310", "20240220", "1", "0", finalMessage(Outcome::kSuccess), empty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.from + ".." + c.to + " days " + c.days + " delay " +
                 c.delayMs);
    std::vector<std::string> args{"id", "none", c.from, c.to, c.days, c.delayMs};
    if (c.program == "lumettool-2.0") args.erase(args.begin() + 1);
    const RunResult run = runQuery(args, {}, c.program);
    EXPECT_EQ(run.out, c.expected);
    EXPECT_EQ(run.err, c.err);
  }
}

TEST_F(Export, FilterAndFieldList) {
  runSql(
      "INSERT INTO transaction VALUES "
      "(1, '2023-12-31 10:00', 'Band OR', 'Acme', 1, true), "
      "(2, '2024-01-01 10:00', 'Band OR', 'Acme', 5, true), "
      "(3, '2024-01-02 23:59:59.25', 'band or', NULL, NULL, false), "
      "(4, '2024-01-03 00:00', 'Band OR', 'Acme', 7, true)");
  struct Case {
    std::string fields, condition, expected;
  };
  const std::vector<Case> cases{
      {"id", "id=1 or id=2", "2\nSuccess"},  // the filter stays inside the days
      {"id", "note='Band OR'", "2\nSuccess"},  // quoted text kept as written
      {"id", "NOTE='band or' AND \"Vendor\" IS NULL", "3\nSuccess"},
      {"id,\"Vendor\"", "\"Vendor\"='Acme'", "2|Acme\nSuccess"},
      {"ALL", "not nonempty", "3|2024-01-02 23:59:59.25|band or|||f\nSuccess"},
      {"allowance", "NONE", "5\n\nSuccess"},
      {"id", "nonempty", "2\nSuccess"},  // none and all count only as whole words
      {"id", "", "2\n3\nSuccess"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields + " / " + c.condition);
    EXPECT_EQ(queryOutput({c.fields, c.condition, "20240101", "20240102", "1", "0"}), c.expected);
  }
}

TEST_F(Export, FailingThirdChunkKeepsRowsOfTheFirstTwo) {
  runSql(
      "INSERT INTO transaction (id, datetime, allowance) VALUES (1, '2024-01-01 09:00', 1), "
      "(2, '2024-01-02 09:00', 1), (3, '2024-01-03 09:00', 0), (4, '2024-01-04 09:00', 1)");
  const RunResult run = runQuery({"id,10/allowance", "none", "20240101", "20240104", "1", "0"});
  EXPECT_EQ(run.out, "1|10\n2|10\nError - Invalid Sql Command");
  EXPECT_EQ(run.err,
            "lumettool: error: the statement for 2024-01-03..2024-01-03 failed: ERROR:  division "
            "by zero (SQLSTATE 22012)\n"
            "lumettool: hint: to go on, keep the first 10 bytes this run wrote to standard "
            "output, which hold the rows up to 2024-01-02, and run again with date-from "
            "20240103 appending to them\n");
  // Merged (2>&1), the rows come first and the final message is still the
  // last line; the lines of standard error are among the rows then, so the
  // hint gives no byte count.
  RunOptions merged;
  merged.mergeStderr = true;
  const RunResult both =
      runQueryWith({"id,10/allowance", "none", "20240101", "20240104", "1", "0"}, merged);
  const std::string reason = run.err.substr(0, run.err.find("lumettool: hint:"));
  EXPECT_EQ(both.out, "1|10\n2|10\n" + reason +
                          "lumettool: hint: to go on, keep the rows up to 2024-01-02 and run again "
                          "with date-from 20240103; no byte count can be given, as standard error "
                          "goes to the same place as the rows; with LUMETTOOL_OUTPUT=FILE the "
                          "export keeps its file itself\n" +
                          finalMessage(Outcome::kInvalidSql));
}

// On a terminal, standard error shows a status line while chunks come in and
// erases it before the end; standard output is exactly what it is elsewhere.
// Server notices reach standard error under the program's name.
TEST_F(Export, ProgressOnATerminalAndNotices) {
  insertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00'), (3, '2024-01-03 10:00')");
  runSql("CREATE FUNCTION hello() RETURNS boolean LANGUAGE plpgsql AS "
        "$$BEGIN RAISE NOTICE 'hello from the server'; RETURN true; END$$");
  const std::vector<std::string> args{"id", "none", "20240101", "20240103", "1", "300"};
  const std::string plain = queryOutput(args);
  RunOptions options;
  options.stderrTerminal = true;
  const RunResult run = runQueryWith(args, options);
  EXPECT_EQ(run.out, plain);
  EXPECT_EQ(plain, "1\n2\n3\nSuccess");
  EXPECT_NE(run.err.find("\rchunk 1/3 2024-01-01..2024-01-01, 0 rows, 0 rows/s, 0:00 elapsed, ? left"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("\rchunk 3/3 2024-01-03..2024-01-03, 2 rows"), std::string::npos)
      << run.err;
  EXPECT_TRUE(run.err.ends_with("\r\033[K")) << run.err;

  const RunResult notice = runQuery({"id", "hello()", "20240101", "20240101", "0", "0"});
  EXPECT_EQ(notice.out, "1\nSuccess");
  EXPECT_EQ(notice.err, "lumettool: NOTICE:  hello from the server\n");
  // Each line of a notice keeps its own label, once; a line that continues one is a detail.
  runSql("CREATE FUNCTION told() RETURNS boolean LANGUAGE plpgsql AS $$BEGIN RAISE NOTICE "
         "E'two\\nlines' USING DETAIL = 'more', HINT = 'still more'; RETURN true; END$$");
  const RunResult labelled = runQuery({"id", "told()", "20240101", "20240101", "0", "0"});
  EXPECT_EQ(labelled.out, "1\nSuccess");
  EXPECT_EQ(labelled.err, "lumettool: NOTICE:  two\nlumettool: detail: lines\n"
                          "lumettool: DETAIL:  more\nlumettool: HINT:  still more\n");
}

// Samoa skipped 2011-12-30 entirely; Dublin's 2011-10-30 lasted 25 hours.
TEST_F(Export, LocalTimeZoneNeitherLosesNorRepeatsADay) {
  insertStamps(
      "(1, '2011-12-29 12:00'), (2, '2011-12-30 12:00'), (3, '2011-12-31 00:00'), "
      "(4, '2011-12-31 23:59:59.5'), (5, '2011-10-29 12:00'), (6, '2011-10-30 00:30'), "
      "(7, '2011-10-30 23:59:59.5'), (8, '2011-10-31 00:00'), (9, '2011-11-01 12:00')");
  struct Case {
    std::string tz, from, to, days, expected;
  };
  const std::vector<Case> cases{
      {"Pacific/Apia", "20111229", "20111231", "1", "1\n2\n3\n4\nSuccess"},
      {"Pacific/Apia", "20111228", "20120101", "2", "1\n2\n3\n4\nSuccess"},
      {"Europe/Dublin", "20111029", "20111101", "1", "5\n6\n7\n8\n9\nSuccess"},
      {"Europe/Dublin", "20111028", "20111102", "2", "5\n6\n7\n8\n9\nSuccess"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz + " days " + c.days);
    EXPECT_EQ(queryOutput({"id", "none", c.from, c.to, c.days, "0"}, {"TZ=" + c.tz}), c.expected);
  }
}

// READ ONLY does not hold a superuser back: a run connected as one says so,
// once, and goes on; a role that may only SELECT is not told anything.
TEST_F(Export, SuperuserIsNamed) {
  insertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00')");
  createRole();
  runSql("GRANT SELECT ON transaction TO " + roleName());
  RunOptions options;
  options.cwd = dir_.path;
  const std::vector<std::string> args{"transaction_query", "id", "none", "20240101",
                                      "20240102", "1", "0"};
  const RunResult superuser = runProgram(programPath("lumettool"), args, options);
  EXPECT_EQ(superuser.out, "1\n2\nSuccess");
  EXPECT_EQ(superuser.err, "lumettool: warning: connected as '" + envValue("PGUSER") +
                               "', a superuser: read-only transactions do not stop a "
                               "superuser's functions; export with a role that may only SELECT\n");
  ASSERT_EQ(initSettings(envValue("PGPORT"), roleName(), "pw"), finalMessage(Outcome::kSuccess));
  const RunResult plain = runProgram(programPath("lumettool"), args, options);
  EXPECT_EQ(plain.out, "1\n2\nSuccess");
  EXPECT_EQ(plain.err, "");
}

TEST_F(Export, ConnectFailuresAreReported) {
  const LocalPort refusing(false);
  const LocalPort silent(true);  // the connect time-out has to end this one
  struct Case {
    std::string port, password, errHas;
    std::string retries = "0";
    std::string retried{};  // the warning of the one retry, when there is one
  };
  const std::string server = "lumettool: error: cannot connect: connection to server at "
                             "\"127.0.0.1\", port ";
  const std::string refused = "connection to server at \"127.0.0.1\", port " + refusing.port +
                              " failed: Connection refused";
  for (const Case& c : std::vector<Case>{
           {envValue("PGPORT"), "wrong",
            server + envValue("PGPORT") + " failed: FATAL:  password authentication failed for user"},
           {refusing.port, envValue("PGPASSWORD"), server + refusing.port + " failed: Connection refused"},
           {silent.port, envValue("PGPASSWORD"), "timeout expired"},
           // A refused connection may be a server on its way back: tried again.
           {refusing.port, envValue("PGPASSWORD"), "lumettool: error: cannot connect: " + refused, "1",
            "lumettool: warning: cannot connect: " + refused + "; retry 1 of 1 in 1 s\n"},
           // A wrong password is not.
           {envValue("PGPORT"), "wrong", "password authentication failed", "1"}}) {
    SCOPED_TRACE("port " + c.port + " password " + c.password + " retries " + c.retries);
    ASSERT_EQ(initSettings(c.port, envValue("PGUSER"), c.password), finalMessage(Outcome::kSuccess));
    const RunResult run = runQuery({"id", "none", "20240101", "20240101", "0", "0"},
                                   {"LUMETTOOL_RETRIES=" + c.retries});
    EXPECT_EQ(run.out, finalMessage(Outcome::kCannotConnect));
    EXPECT_NE(run.err.find(c.errHas), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.retried.empty() ? "error" : c.retried), std::string::npos) << run.err;
    if (c.retried.empty()) {
      EXPECT_EQ(run.err.find("; retry "), std::string::npos) << run.err;
    }
  }
}

TEST_F(Export, PasswordWithBlankQuoteAndBackslash) {
  const std::string role = db_ + "_r";
  const std::string password = "p w'd\\x";
  char* literal = PQescapeLiteral(admin_, password.c_str(), password.size());
  execSql(admin_, "CREATE ROLE " + role + " LOGIN PASSWORD " + literal);
  PQfreemem(literal);
  runSql("GRANT SELECT ON transaction TO " + role);
  insertStamps("(1, '2024-01-01 10:00')");
  ASSERT_EQ(initSettings(envValue("PGPORT"), role, password), finalMessage(Outcome::kSuccess));
  EXPECT_EQ(queryOutput({"id", "none", "20240101", "20240101", "0", "0"}), "1\nSuccess");
}

TEST_F(Export, RowsMatchPsqlUnalignedOutput) {
  runSql("ALTER TABLE transaction ADD amount numeric(10,2), ADD ratio float8");
  runSql(
      "INSERT INTO transaction VALUES "
      "(1, '2024-01-01 10:00:00.123', 'Grüße | 日本', NULL, -3, true, 1.5, 0.1), "
      "(NULL, '2024-01-01 11:00', NULL, 'a|b', NULL, NULL, NULL, NULL), "
      "(3, '2024-01-01 12:00', '', 'x''y', 0, false, -0.01, 1e300), "
      "(4, '2024-01-01 23:59:59.75', E'two\\nlines', '\\', 7, true, 0, -0.5), "
      "(5, '2024-01-02 00:00', 'next day', NULL, NULL, NULL, NULL, NULL)");
  // A row longer than any buffer of the tool is printed whole.
  runSql("INSERT INTO transaction (id, datetime, note) VALUES (6, '2024-01-01 13:00', "
        "repeat('long', 5000))");
  const std::string select =
      "SELECT * FROM transaction WHERE transaction.datetime>=TIMESTAMP'2024-01-01 00:00:00' "
      "AND transaction.datetime<TIMESTAMP'2024-01-02 00:00:00'";
  const RunResult psql = runPsql({"-At", "-F|", "-c", select});
  ASSERT_EQ(psql.exitStatus, 0);
  ASSERT_NE(psql.out.find("Grüße | 日本"), std::string::npos);
  std::string longNote;
  for (int i = 0; i < 5000; ++i) longNote += "long";
  ASSERT_NE(psql.out.find("6|2024-01-01 13:00:00|" + longNote + "|"), std::string::npos);
  // With LUMETTOOL_FORMAT=copy, COPY's own lines: escapes and \\N kept.
  const RunResult copy = runPsql({"-c", "COPY (" + select + ") TO STDOUT WITH (DELIMITER '|')"});
  ASSERT_EQ(copy.exitStatus, 0);
  ASSERT_NE(copy.out.find("|\\N|a\\|b|"), std::string::npos) << copy.out;
  EXPECT_EQ(queryOutput({"all", "none", "20240101", "20240101", "0", "0"},
                        {"LUMETTOOL_FORMAT=copy"}),
            copy.out + finalMessage(Outcome::kSuccess));
  // Three values hold '|' or a line break: the lines stay as psql prints
  // them, and the operator is told.
  const RunResult run = runQuery({"all", "none", "20240101", "20240101", "0", "0"});
  EXPECT_EQ(run.out, psql.out + finalMessage(Outcome::kSuccess));
  EXPECT_EQ(run.err,
            "lumettool: warning: 3 values hold '|' or a line break, the first in the rows of "
            "2024-01-01: those lines cannot be split back into the same rows and fields\n"
            "lumettool: hint: for lines that read back with COPY FROM or \\copy, set "
            "LUMETTOOL_FORMAT=copy\n");
}

// Rows are assembled in a buffer and written a buffer at a time: lines that
// cross its end, a value longer than it and rows wider than one batch of
// cells all come out as psql prints them.
TEST_F(Export, LargeOutputMatchesPsql) {
  runSql(
      "INSERT INTO transaction (id, datetime, note, \"Vendor\", allowance, nonempty) "
      "SELECT i, TIMESTAMP '2024-03-01' + i * INTERVAL '1 second', 'note ' || i, "
      "CASE WHEN i % 3 = 0 THEN NULL ELSE 'v' || i END, i % 7, i % 2 = 0 "
      "FROM generate_series(1, 4000) AS i");
  // 200,000 bytes in the middle of the day, and one more at its end.
  runSql("UPDATE transaction SET note = repeat('0123456789', 20000) WHERE id IN (2000, 4000)");
  std::string wide;
  for (int i = 0; i < 9; ++i) {
    wide += std::string(i > 0 ? "," : "") + "id,note,\"Vendor\",allowance,nonempty";
  }
  for (const std::string& fields : {std::string("*"), std::string("note"), wide}) {
    SCOPED_TRACE(fields.substr(0, 40));
    const RunResult psql = runPsql(
        {"-At", "-F|", "-c",
         "SELECT " + fields +
             " FROM transaction WHERE transaction.datetime>=TIMESTAMP'2024-03-01 00:00:00' "
             "AND transaction.datetime<TIMESTAMP'2024-03-02 00:00:00'"});
    ASSERT_EQ(psql.exitStatus, 0);
    ASSERT_GT(psql.out.size(), size_t{400000});
    const std::string field = fields == "*" ? "all" : fields;
    for (const std::string days : {"0", "1"}) {
      EXPECT_EQ(queryOutput({field, "none", "20240301", "20240301", days, "0"}), psql.out + finalMessage(Outcome::kSuccess));
    }
  }
  // No columns at all would give an empty line per row: refused before
  // anything is sent.
  EXPECT_EQ(queryOutput({"", "none", "20240301", "20240301", "0", "0"}),
            finalMessage(Outcome::kSqlRefused));
}

// A chunk larger than the spool's memory goes through a temporary file in
// TMPDIR; where none can be made, the chunk fails and prints nothing.
TEST_F(Export, ChunkPastTheSpoolMemory) {
  runSql("INSERT INTO transaction (id, datetime, note) SELECT i, TIMESTAMP '2024-01-02' + "
         "i * INTERVAL '1 second', repeat(md5(i::text), 250) FROM generate_series(1, 700) AS i");
  insertStamps("(0, '2024-01-01 10:00')");
  const std::string select =
      "SELECT id, note FROM transaction WHERE datetime >= '2024-01-01' AND datetime < "
      "'2024-01-03' ORDER BY datetime";
  const RunResult psql = runPsql({"-At", "-F|", "-c", select});
  ASSERT_GT(psql.out.size(), size_t{5} << 20);
  EXPECT_EQ(queryOutput({"id,note", "none", "20240101", "20240102", "1", "0"}),
            psql.out + finalMessage(Outcome::kSuccess));
  const RunResult missing =
      runQuery({"id,note", "none", "20240101", "20240102", "1", "0"}, {"TMPDIR=/nonexistent"});
  EXPECT_EQ(missing.out, "0|\n" + finalMessage(Outcome::kAllocationFailed));
  EXPECT_NE(missing.err.find("lumettool: error: the rows of 2024-01-02..2024-01-02 cannot be held "
                             "back until they are complete: cannot create a temporary file in "
                             "'/nonexistent'"),
            std::string::npos)
      << missing.err;
  EXPECT_NE(missing.err.find("keep the first 3 bytes"), std::string::npos) << missing.err;
}

// The rows of a chunk reach the reader before the pause after it, not when
// the buffer is full or the run ends.
TEST_F(Export, ChunkRowsArriveBeforeThePause) {
  insertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00'), (3, '2024-01-03 10:00')");
  std::vector<std::string> argv{"transaction_query", "id", "none", "20240101", "20240103", "1",
                                "2000"};
  RunOptions options;
  options.cwd = dir_.path;
  options.closeStdoutEarly = true;  // the next chunk's write then ends the run
  const RunResult run = runProgram(programPath("lumettool"), argv, options);
  EXPECT_EQ(run.out, "1\n");
  // Flushed before each pause, the run ends on the second chunk's write after
  // one pause of 2 s; held back, the first line would come after both pauses.
  EXPECT_LT(run.seconds, 3.5);
}

TEST_F(Export, FullStdoutEndsWithStatusOne) {
  insertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00'), (3, '2024-01-03 10:00')");
  // The rows fail to go out, or (no rows in 2023) only the final message does.
  for (const std::string days : {"0", "1", "2023"}) {
    SCOPED_TRACE("days " + days);
    const std::string from = days == "2023" ? "20230101" : "20240101";
    const std::string to = days == "2023" ? "20230102" : "20240103";
    const RunResult run =
        runQuery({"id", "none", from, to, days == "2023" ? "1" : days, "0"}, {}, "lumettool",
                 "/dev/full");
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find("standard output: No space left on device\n"), std::string::npos)
        << run.err;
  }
}

// The bad-input sweep's transaction_query cases (sweep_cases.h) whose
// arguments pass the tool's own checks, here reaching the statement builder
// and the server: each ends with Success or the failed statement. Those that
// change only days and delay-ms give exactly the rows of the plain query.
TEST_F(Export, BadInputSweepReachesTheServer) {
  runSql("ALTER TABLE transaction ADD amount numeric(10,2), ADD status int");
  runSql(
      "INSERT INTO transaction (id, datetime, amount, status) VALUES "
      "(1, '2024-01-01 10:00', 2.5, 1), (2, '2024-01-02 12:00', 1, 2), "
      "(3, '2024-01-02 23:59:59.5', 7, 1), (4, '2024-01-03 00:00', 9, 1)");
  std::vector<sweep::SweepCase> cases;
  std::vector<sweep::SweepCase> longDays;
  for (sweep::SweepCase& c : sweep::queryCases("")) {
    if (!c.expected.empty()) continue;  // decided before the server is asked
    const size_t from = c.program == "lumettool" ? 3 : 2;
    if (std::all_of(c.args[1].begin(), c.args[1].end(), isAsciiSpace)) {
      c.expected = sweep::kSqlFailed;  // a field list that names nothing
    } else if (c.args[from].size() > 8 || c.args[from + 1].size() > 8) {
      longDays.push_back(c);  // read by their first eight, with a warning each
      continue;
    }
    const bool filtered = c.program == "lumettool";
    std::vector<std::string> plain{"transaction_query", "id,amount", "status=1", "20240101",
                                   "20240102"};
    if (!filtered) plain.erase(plain.begin() + 2);
    if (std::equal(plain.begin(), plain.end(), c.args.begin())) {
      c.expected = sweep::kSuccess;
      c.output = filtered ? "1|2.50\n3|7.00\nSuccess" : "1|2.50\n2|1.00\n3|7.00\nSuccess";
    }
    cases.push_back(c);
  }
  std::cout << cases.size() << " runs against the server\n";
  sweep::runSweep(cases, dir_.path);
  // A day argument past eight characters: the rows of its first eight, and
  // one warning for it on standard error.
  std::cout << longDays.size() << " runs with long days\n";
  for (const sweep::SweepCase& c : longDays) {
    SCOPED_TRACE(c.program + " " + c.args[1].substr(0, 16));
    std::vector<std::string> args(c.args.begin() + 1, c.args.end());
    const size_t from = c.program == "lumettool" ? 2 : 1;
    std::vector<std::string> cut = args;
    std::vector<std::string> warned;  // how each warning begins, in order
    for (const size_t i : {from, from + 1}) {
      cut[i] = args[i].substr(0, 8);
      if (args[i].size() > 8) {
        warned.push_back(c.program + ": warning: " + (i == from ? "date-from '" : "date-to '"));
      }
    }
    const RunResult run = runQuery(args, {}, c.program);
    EXPECT_EQ(run.out, queryOutput(cut, {}, c.program));
    std::istringstream lines(withoutLines(run.err, kSuperuserWarning));
    size_t n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
      ASSERT_LT(n, warned.size()) << run.err;
      EXPECT_TRUE(line.starts_with(warned[n])) << line;
      EXPECT_NE(line.find(" characters: read by its first eight, as 2024-01-0"), std::string::npos)
          << line;
    }
    EXPECT_EQ(n, warned.size()) << run.err;
  }
}

}  // namespace

// What the tool does with fields and conditions written to change the
// database or to reach rows of other days. The database's checksum (rows,
// relations, sequence, large objects, the audit table) must not change; rows
// come out only where psql gives the same rows for the same days and the
// same condition, and never twice.
class Hostile : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    runSql("ALTER TABLE transaction ADD status int");
    runSql(
        "INSERT INTO transaction (id, datetime, status) VALUES (1, '2024-01-01 09:00', 1), "
        "(2, '2024-01-01 10:00', 2), (3, '2024-01-02 09:00', 1), (4, '2024-01-03 09:00', 2), "
        "(5, '2023-12-31 09:00', 1), (6, '2024-01-04 09:00', 1)");
    runSql("UPDATE transaction SET note = CASE WHEN id IN (1, 3) THEN 'Rock and Roll' "
          "ELSE 'it''s Oregon' END");
    runSql("CREATE SEQUENCE s");
    runSql("CREATE TABLE audit (x text)");
    runSql("CREATE FUNCTION ins() RETURNS boolean LANGUAGE sql AS "
          "$$INSERT INTO audit VALUES ('ins') RETURNING true$$");
    runSql("CREATE FUNCTION ddl() RETURNS boolean LANGUAGE plpgsql AS "
          "$$BEGIN CREATE TABLE evil (); RETURN true; END$$");
    // On the first day it turns the session's default to read-write; on a
    // later day it writes.
    runSql("CREATE FUNCTION later_write(d timestamp) RETURNS boolean LANGUAGE plpgsql AS $$BEGIN "
          "IF d < '2024-01-02' THEN "
          "PERFORM set_config('default_transaction_read_only', 'off', false); "
          "ELSE INSERT INTO audit VALUES ('later'); END IF; RETURN true; END$$");
    runSql("CREATE FUNCTION sneak(d timestamp) RETURNS boolean LANGUAGE plpgsql AS $$BEGIN "
          "PERFORM set_config('transaction_read_only', 'off', true); "
          "INSERT INTO audit VALUES ('sneak'); RETURN true; END$$");
  }

  std::string sChecksum() {
    return queryValue(conn_,
                  "SELECT md5(concat_ws('/', "
                  "(SELECT string_agg(t::text, ',' ORDER BY t::text) FROM transaction t), "
                  "(SELECT string_agg(relname || ':' || relkind::text, ',' ORDER BY relname) FROM pg_class "
                  " WHERE relnamespace = 'public'::regnamespace), "
                  "(SELECT last_value || ',' || is_called FROM s), "
                  "(SELECT count(*) FROM pg_largeobject_metadata), "
                  "(SELECT string_agg(x, ',' ORDER BY x) FROM audit)))");
  }

  // psql's rows of the same days (20240101..20240103) and condition.
  std::string sPsqlRows(const std::string& condition) {
    const RunResult psql = runPsql(
        {"-At", "-c",
         "SELECT id FROM transaction WHERE datetime >= '2024-01-01' AND datetime < '2024-01-04' "
         "AND (" + condition + ") ORDER BY datetime"});
    EXPECT_EQ(psql.exitStatus, 0) << condition;
    return psql.out;
  }
};

TEST_F(Hostile, NoExportWritesAndNoneLeavesItsDays) {
  const std::string kFailed = finalMessage(Outcome::kInvalidSql);
  // A row outside every export of the cases, in February.
  runSql("INSERT INTO transaction (id, datetime, status) VALUES (7, '2024-02-01 09:00', 1)");
  // The reader of README's recipe: SELECT on the table alone, a policy for
  // the days it may export, query_to_xml and its kin not for PUBLIC.
  createRole();
  const std::string reader = roleName();
  runSql("GRANT SELECT ON transaction TO " + reader);
  runSql("ALTER TABLE transaction ENABLE ROW LEVEL SECURITY");
  runSql("CREATE POLICY exported_days ON transaction FOR SELECT TO " + reader +
         " USING (datetime >= '2024-01-01' AND datetime < '2024-01-04')");
  runSql("REVOKE EXECUTE ON FUNCTION query_to_xml(text, boolean, boolean, text), "
         "query_to_xmlschema(text, boolean, boolean, text), "
         "query_to_xml_and_xmlschema(text, boolean, boolean, text) FROM PUBLIC");
  // A schema put first in the search path, with a >= that is always true.
  runSql("CREATE SCHEMA evil");
  runSql("CREATE FUNCTION evil.ge(timestamp, timestamp) RETURNS boolean LANGUAGE sql AS "
         "'SELECT true'");
  runSql("CREATE OPERATOR evil.>= (LEFTARG = timestamp, RIGHTARG = timestamp, FUNCTION = evil.ge)");
  runSql("GRANT USAGE ON SCHEMA evil TO PUBLIC");
  const std::string evilPath = "PGOPTIONS=-c search_path=evil,pg_catalog,public";
  const std::string schemaWarning =
      "lumettool: warning: the table transaction the export reads is the one in the schema "
      "'public'; the search path's first schema is 'evil'\n";
  const std::string checksum = sChecksum();
  struct Case {
    std::string fields, condition, expected;  // edition 2.0 when condition is "-"
    std::string role = "";               // the settings' role when empty
    std::vector<std::string> env = {};
  };
  // The field lists that read past the days: the reader gets no more than
  // its policy lets it read, the settings' superuser gets everything.
  const std::string everyId = "min(1),unnest((select array_agg(t.id) from transaction t))";
  const std::string february =
      "(unnest((select array_agg(t) from transaction t where t.datetime >= '2024-02-01'))).id";
  const std::string anyText = "query_to_xml('select id from transaction', false, false, '')";
  const std::string allowed = "1|1\n1|2\n1|3\n1|4\n";
  const std::string everything = "1|1\n1|2\n1|3\n1|4\n1|5\n1|6\n1|7\n";
  const std::vector<Case> cases{
      // Stacked statements: the server runs one statement at a time.
      {"id from transaction; delete from transaction where id<20; select id", "none", kFailed},
      {"id from transaction; delete from transaction where id<20; select id", "-", kFailed},
      {"id from transaction; update transaction set status=9; select id", "-", kFailed},
      {"id from transaction; create table evil (); select id", "none", kFailed},
      {"id", "1=1) and 1=0; delete from transaction where id<10; select 1 from transaction where (1=1",
       kFailed},
      // Writes from within the statement: a read-only transaction refuses them.
      {"id", "nextval('s')>0", kFailed},
      {"nextval('s')", "-", kFailed},
      {"id", "ins()", kFailed},
      {"id", "ddl()", kFailed},
      // READ ONLY lets lo_create write; the rollback at the chunk's end undoes it.
      {"lo_create(0)>0", "none", "t\nt\nt\nt\nSuccess"},
      {"id", "sneak(datetime)", kFailed},
      // A session default changed in the first chunk does not make the next one writable.
      {"id", "later_write(datetime)", "1\n2\n" + kFailed},
      // Conditions that try to leave their brackets or comment the range out.
      {"id", "status=1) or (true", kFailed},
      {"id", "status=1) or true --", kFailed},
      {"id", "status=1) or true /*", kFailed},
      {"id", "1=1) union select id from transaction where (true", kFailed},
      // Field lists that end the select list early to read every day.
      {"id from transaction union all select id", "none", kFailed},
      {"id from transaction where $1::text<>$2::text --", "-", kFailed},
      {"id from transaction where $1::text<>$2::text --", "none", kFailed},
      // In UTF-8 the server reads \' after é as a quote, in SJIS as the end of a character.
      {"id", "note=E'\xC3\xA9\\' ') or ('a'='a'", kFailed},
      {"id", "status=1 /* ) or (true */", "psql"},
      {"id", "status=1 -- )\n or true", "psql"},
      {"id", "note=$$) or (true$$ or status=2", "psql"},
      // Every form of quoted text reaches the server as written.
      {"id", "note=$$Rock and Roll$$", "psql"},
      {"id", "note=$Q$Rock and Roll$Q$ or note=$$it's Oregon$$", "psql"},
      {"id", "note=E'it\\'s Oregon' and status=2", "psql"},
      {"id", "note=U&'Rock \\0061nd Roll'", "psql"},
      {"id", "U&\"n\\006Fte\"='Rock and Roll'", "psql"},
      // The translation lexes what it writes: a quote right after " OR " is one.
      {"id", "id<0 or$$Rock and Roll$$=note", "1\n3\nSuccess"},
      {"id", "id<0 orE'it\\'s Oregon'=note", "2\n4\nSuccess"},
      // Legitimate exports keep their rows.
      {"id", "status=1", "psql"},
      {"id", "status=1 -- only status one", "1\n3\nSuccess"},
      {"extract(epoch from datetime)::int, substring(note from 1 for 4)", "status=1",
       "1704099600|Rock\n1704186000|Rock\nSuccess"},
      {"transaction.id,tableoid::regclass", "transaction.status=1", "1|transaction\n3|transaction\nSuccess"},
      {"id", "id in (select id from transaction where status=2)", "psql"},
      {"id", "upper(coalesce(note, 'x'))='ROCK AND ROLL' and status<>2", "psql"},
      // The day range bounds what the tool asks for, not what the field
      // list can read; the recipe's role bounds that.
      {everyId, "none", everything + everything + everything + "Success"},
      {everyId, "none", allowed + allowed + allowed + "Success", reader},
      {february, "none", "7\n7\n7\n7\nSuccess"},  // once for each row of the days
      {february, "none", "Success", reader},
      {"(" + anyText + ")::text like '%<id>7</id>%'", "none", "t\nt\nt\nt\nSuccess"},
      {"(" + anyText + ")::text like '%<id>5</id>%'", "-", kFailed, reader},
      // The range's operators are pg_catalog's whatever the search path.
      {"id", "status=1", "psql", "", {evilPath}},
      {"id", "none", "1\n2\n3\n4\nSuccess", reader, {evilPath}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields + " / " + c.condition + " as " + (c.role.empty() ? "superuser" : c.role));
    const bool edition20 = c.condition == "-";
    std::vector<std::string> args{c.fields, c.condition, "20240101", "20240103", "1", "0"};
    if (edition20) args.erase(args.begin() + 1);
    ASSERT_EQ(c.role.empty() ? initSettings(envValue("PGPORT"), envValue("PGUSER"),
                                            envValue("PGPASSWORD"))
                             : initSettings(envValue("PGPORT"), c.role, "pw"),
              finalMessage(Outcome::kSuccess));
    const RunResult run = runQuery(args, c.env, edition20 ? "lumettool-2.0" : "lumettool");
    const std::string& out = run.out;
    EXPECT_FALSE(run.timedOut);
    // The search path's own schema first: said, and the export goes on.
    if (out.ends_with(finalMessage(Outcome::kSuccess))) {
      EXPECT_EQ(run.err, c.env.empty() ? "" : schemaWarning);
    }
    if (c.expected == "psql") {
      const std::string rows = sPsqlRows(c.condition);
      EXPECT_NE(rows, "");
      EXPECT_EQ(out, rows + finalMessage(Outcome::kSuccess));
    } else {
      EXPECT_EQ(out, c.expected);
    }
    EXPECT_EQ(sChecksum(), checksum);
  }
}

// On a timestamptz column the day bounds are instants fixed when the
// statement starts: a condition that moves the session's time zone while the
// rows are read neither repeats nor adds rows, and the session's own zone
// (PGTZ, PGOPTIONS) still says which instants a day holds.
TEST_F(Hostile, RangeHoldsOnATimestamptzColumn) {
  runSql("ALTER TABLE transaction ALTER datetime TYPE timestamptz USING datetime AT TIME ZONE 'UTC'");
  struct Case {
    std::string condition, from, to, tz, expected;
  };
  const std::string byDay = "(select set_config('timezone', case when datetime<'2024-01-02 UTC' "
                            "then 'UTC' else 'Pacific/Kiritimati' end, true)) is not null";
  const std::string west = "(select set_config('timezone', 'Etc/GMT+12', true)) is not null";
  const std::vector<Case> cases{
      {byDay, "20240101", "20240103", "PGTZ=UTC", "1\n2\n3\n4\nSuccess"},
      {west, "20240101", "20240101", "PGTZ=UTC", "1\n2\nSuccess"},
      {"none", "20240102", "20240102", "PGTZ=Pacific/Kiritimati", "2\n3\nSuccess"},
      {"none", "20240102", "20240102", "PGOPTIONS=-c timezone=Pacific/Kiritimati",
       "2\n3\nSuccess"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition + " " + c.tz);
    EXPECT_EQ(queryOutput({"id", c.condition, c.from, c.to, "1", "0"}, {c.tz}), c.expected);
  }
}
