// The export against a real PostgreSQL server (see DbTest): chunking, the
// filter, time zones, connection settings and the printed values.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/sweep_cases.h"
#include "tests/support/db_fixture.h"
#include "tests/support/expect_stderr.h"
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
    std::string jobs = "1";  // LUMETTOOL_JOBS
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
      // Read ahead on three connections: the same lines.
      {"lumettool", "20240220", "20240310", "0", "0", all, "", "3"},
      {"lumettool", "20240220", "20240310", "1", "0", all, "", "3"},
      {"lumettool", "20240220", "20240310", "7", "0", all, "", "3"},
      {"lumettool", "20240220", "20240310", "1", "1", all,
       "lumettool: warning: LUMETTOOL_JOBS=16 is not used: with a delay of 1 ms between chunks "
       "they are read one at a time\n",
       "16"},
      {"lumettool-2.0", "20240220", "20240310", "30", "0", all, "", "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.from + ".." + c.to + " days " + c.days + " delay " +
                 c.delayMs + " jobs " + c.jobs);
    std::vector<std::string> args{"id", "none", c.from, c.to, c.days, c.delayMs};
    if (c.program == "lumettool-2.0") args.erase(args.begin() + 1);
    // Success is 0 whether or not the exit status tells failures apart.
    const RunResult run =
        runQuery(args, {"LUMETTOOL_EXIT_STATUS=on", "LUMETTOOL_JOBS=" + c.jobs}, c.program);
    EXPECT_EQ(run.out, c.expected);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.exitStatus, 0);
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
  // Merged (2>&1), into a pipe or a file, the rows come first and the final
  // message is still the last line; the hint names the day but no byte
  // count, which the lines of standard error among the rows would make wrong.
  for (const std::string& file : {std::string(), dir_.pathOf("merged.txt")}) {
    SCOPED_TRACE(file.empty() ? "a pipe" : "a file");
    RunOptions merged;
    merged.mergeStderr = true;
    merged.stdoutPath = file;
    const RunResult both =
        runQueryWith({"id,10/allowance", "none", "20240101", "20240104", "1", "0"}, merged);
    EXPECT_EQ(file.empty() ? both.out : withoutLines(readFile(file), kSuperuserWarning),
              "1|10\n2|10\n" + run.err.substr(0, run.err.find("lumettool: hint:")) +
                  "lumettool: hint: to go on, keep the rows up to 2024-01-02 and run again with "
                  "date-from 20240103; no byte count can be given, as standard error goes to the "
                  "same place as the rows; with LUMETTOOL_OUTPUT=FILE the export keeps its file "
                  "itself\n" +
                  finalMessage(Outcome::kInvalidSql));
  }
  EXPECT_EQ(run.exitStatus, 0);
  RunOptions statusOn;
  statusOn.env = {"LUMETTOOL_EXIT_STATUS=on"};
  EXPECT_EQ(runQueryWith({"id,10/allowance", "none", "20240101", "20240104", "1", "0"}, statusOn)
                .exitStatus,
            65);
}

// The export's own file is taken up again only by the same export: after
// other days, fields or format, or without its checkpoint, it is started
// afresh with a warning that says why, and ends as a fresh run's.
TEST_F(Export, OwnFileOfAnotherExportStartsAfresh) {
  runSql(
      "INSERT INTO transaction (id, datetime, allowance) VALUES (1, '2024-01-01 09:00', 1), "
      "(2, '2024-01-02 09:00', 2), (3, '2024-01-03 09:00', 0), (4, '2024-01-04 09:00', 1)");
  const std::string path = dir_.pathOf("out.txt");
  const std::string checkpoint = path + ".part.checkpoint";
  const std::string reason = "lumettool: warning: '" + path + ".part' is started afresh: ";
  struct Case {
    std::string name, fields, to, format;
    bool checkpointGone;
    std::string why;
  };
  const std::vector<Case> cases{
      {"other days", "id,10/allowance", "20240102", "text", false,
       "its checkpoint '" + checkpoint + "' was made by another export: to '20240104' there, "
       "'20240102' now\n"},
      {"other fields", "id", "20240104", "text", false,
       "its checkpoint '" + checkpoint + "' was made by another export: fields "
       "'id,10/allowance' there, 'id' now\n"},
      {"other format", "id,10/allowance", "20240102", "copy", false,
       "its checkpoint '" + checkpoint + "' was made by another export: to '20240104' there, "
       "'20240102' now; format 'text' there, 'copy' now\n"},
      {"no checkpoint", "id", "20240104", "text", true,
       "it holds 9 bytes but has no checkpoint '" + checkpoint + "'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.env = {"LUMETTOOL_OUTPUT=" + path};
    // Stopped by the division by zero on the third day.
    const RunResult failed =
        runQueryWith({"id,10/allowance", "none", "20240101", "20240104", "1", "0"}, options);
    ASSERT_EQ(failed.out, finalMessage(Outcome::kInvalidSql));
    ASSERT_EQ(readFile(path + ".part"), "1|10\n2|5\n");
    if (c.checkpointGone) {
      ASSERT_TRUE(std::filesystem::remove(checkpoint));
    }
    const std::vector<std::string> args{c.fields, "none", "20240101", c.to, "1", "0"};
    options.env.push_back("LUMETTOOL_FORMAT=" + c.format);
    const RunResult run = runQueryWith(args, options);
    EXPECT_EQ(run.out, finalMessage(Outcome::kSuccess));
    EXPECT_EQ(run.err, reason + c.why);
    const std::string fresh = queryOutput(args, {"LUMETTOOL_FORMAT=" + c.format});
    EXPECT_EQ(readFile(path) + run.out, fresh);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    EXPECT_FALSE(std::filesystem::exists(checkpoint));
  }
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
    // When set, a second run with LUMETTOOL_EXIT_STATUS=on ends with this status.
    std::optional<int> statusWhenOn{};
  };
  const std::string server = "lumettool: error: cannot connect: connection to server at "
                             "\"127.0.0.1\", port ";
  const std::string refused = "connection to server at \"127.0.0.1\", port " + refusing.port +
                              " failed: Connection refused";
  for (const Case& c : std::vector<Case>{
           {envValue("PGPORT"), "wrong",
            server + envValue("PGPORT") + " failed: FATAL:  password authentication failed for user",
            "0", "", 69},
           {refusing.port, envValue("PGPASSWORD"), server + refusing.port + " failed: Connection refused",
            "0", "", 75},
           {silent.port, envValue("PGPASSWORD"), "timeout expired"},
           // A refused connection may be a server on its way back: tried again.
           {refusing.port, envValue("PGPASSWORD"), "lumettool: error: cannot connect: " + refused, "1",
            "lumettool: warning: cannot connect: " + refused + "; retry 1 of 1 in 1 s\n"},
           // A wrong password is not.
           {envValue("PGPORT"), "wrong", "password authentication failed", "1", "", 69}}) {
    SCOPED_TRACE("port " + c.port + " password " + c.password + " retries " + c.retries);
    ASSERT_EQ(initSettings(c.port, envValue("PGUSER"), c.password), finalMessage(Outcome::kSuccess));
    const RunResult run = runQuery({"id", "none", "20240101", "20240101", "0", "0"},
                                   {"LUMETTOOL_RETRIES=" + c.retries});
    EXPECT_EQ(run.out, finalMessage(Outcome::kCannotConnect));
    EXPECT_EQ(run.exitStatus, 0);
    if (c.statusWhenOn) {
      const RunResult on = runQuery({"id", "none", "20240101", "20240101", "0", "0"},
                                    {"LUMETTOOL_RETRIES=" + c.retries, "LUMETTOOL_EXIT_STATUS=on"});
      EXPECT_EQ(on.out, finalMessage(Outcome::kCannotConnect));
      EXPECT_EQ(on.exitStatus, *c.statusWhenOn);
    }
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

// In every client encoding the rows are what psql prints, byte for byte,
// and the same values are told to break lines. In SJIS, BIG5, GBK and
// GB18030 some characters end in 0x5C ('\') or 0x7C ('|'), which COPY sends
// unescaped; in SJIS and UHC some end in an ASCII letter, which the field
// list's lower-casing must leave alone.
TEST_F(Export, EveryClientEncodingMatchesPsql) {
  struct Case {
    std::string encoding;
    std::vector<std::string> notes;  // SQL literals, one row each
    size_t breaking;                 // notes holding '|' or a line break
    std::string holds;               // bytes psql's output must hold
    std::string column{};            // a column of the field list, in the encoding
    std::string condition{};
  };
  const std::vector<std::string> ascii{"E'back\\\\slash'", "'pi|pe'", "E'line\\nbreak'",
                                       "E'cr\\rhere'", "NULL", "''"};
  const std::vector<Case> cases{
      {"UTF8", {"'Grüße|日本'", "E'é\\\\'"}, 4, "\xC3\xA9\\", "ア", "ア='a'"},
      {"LATIN1", {"'Grüße|ÿ'", "E'\\\\é'"}, 4, "\\\xE9"},
      {"EUC_JP", {"'ソ表ポ|ア'", "E'日本\\\\'"}, 4, "\xA5\xBD", "\xA5\xA2", "\xA5\xA2='a'"},
      // a is 0x83 0x41: lower-cased, it was di (0x83 0x61).
      {"SJIS", {"'ソ表ポア'", "'ソ|'", "E'表\\\\n'", "E'ポ\\n'"}, 5, "\x83\\\x95\\\x83|\x83\x41",
       "\x83\x41", "\x83\x41='a'"},
      {"BIG5", {"'許功蓋'", "'ㄍ|'", "E'功\\\\'", "'ㄍ'"}, 4, "\xB3\\\xA5\\\xBB\\"},
      {"GBK", {"'乗億'", "E'乗\\\\|'", "'億'"}, 4, "\x81\\\x83|"},
      {"GB18030", {"'乗億'", "E'億\\\\'", "'ÿ|😀'"}, 4, "\x81\x30\x8B\x37|\x94\x39\xFC\x36"},
      {"UHC", {"'갂괔'", "E'갂|\\\\'"}, 4, "\x81\x41\x82\x41"},
  };
  runSql("ALTER TABLE transaction ADD \"ア\" text, ADD \"ヂ\" text");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoding);
    runSql("DELETE FROM transaction");
    int id = 0;
    for (const std::vector<std::string>* notes : {&ascii, &c.notes}) {
      for (const std::string& note : *notes) {
        runSql("INSERT INTO transaction (id, datetime, note, \"ア\", \"ヂ\") VALUES (" +
               std::to_string(++id) + ", '2024-01-01 10:00', " + note + ", 'a', 'di')");
      }
    }
    // The field list and the condition name the column a unquoted, in the
    // encoding; psql's statement is ASCII, so the same in all of them.
    const std::string fields = "id,note," + (c.column.empty() ? "'a'" : c.column);
    RunOptions psqlOptions;
    psqlOptions.env = {"PGHOST=127.0.0.1", "PGDATABASE=" + db_, "PGCLIENTENCODING=" + c.encoding};
    const std::string sql =
        "SELECT id, note, 'a' FROM transaction WHERE datetime>='2024-01-01' AND "
        "datetime<'2024-01-02'";
    const RunResult psql =
        runProgram("/usr/bin/psql", {"-X", "-At", "-F|", "-c", sql}, psqlOptions);
    ASSERT_EQ(psql.exitStatus, 0) << psql.err;
    ASSERT_NE(psql.out.find(c.holds), std::string::npos) << psql.out;
    const std::string condition = c.condition.empty() ? "none" : c.condition;
    const RunResult run = runQuery({fields, condition, "20240101", "20240101", "0", "0"},
                                   {"PGCLIENTENCODING=" + c.encoding});
    EXPECT_EQ(run.out, psql.out + finalMessage(Outcome::kSuccess));
    EXPECT_EQ(run.err, "lumettool: warning: " + std::to_string(c.breaking) +
                           " values hold '|' or a line break, the first in the rows of "
                           "2024-01-01: those lines cannot be split back into the same rows "
                           "and fields\n"
                           "lumettool: hint: for lines that read back with COPY FROM or "
                           "\\copy, set LUMETTOOL_FORMAT=copy\n");
  }
  // An encoding the server chooses is known only once connected: a field
  // list it reads otherwise than it was rewritten is not sent.
  runSql("ALTER DATABASE " + db_ + " SET client_encoding = 'SJIS'");
  const RunResult refused =
      runQuery({"id,\x83\x41", "none", "20240101", "20240101", "0", "0"}, {"PGCLIENTENCODING="});
  EXPECT_EQ(refused.out, finalMessage(Outcome::kInvalidSql));
  EXPECT_NE(refused.err.find("failed: the session's client encoding is 'SJIS', whose characters "
                             "take the field list's bytes above 127 otherwise"),
            std::string::npos)
      << refused.err;
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
  // Rows that go to /dev/null are not held back: no temporary file is
  // needed, and the chunk past the spool's memory goes through.
  RunOptions toNull;
  toNull.env = {"TMPDIR=/nonexistent", "LUMETTOOL_EXIT_STATUS=on"};
  toNull.stdoutPath = "/dev/null";
  const RunResult discarded =
      runQueryWith({"id,note", "none", "20240101", "20240102", "1", "0"}, toNull);
  EXPECT_EQ(discarded.exitStatus, 0) << discarded.err;
  EXPECT_EQ(discarded.err, "");
}

// The rows of a chunk reach the reader before the pause after it, not when
// the buffer is full or the run ends. The pause is a minute, twice the run's
// time-out: held back, the first line would come after it. Once it has come,
// the run is stopped.
TEST_F(Export, ChunkRowsArriveBeforeThePause) {
  insertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00'), (3, '2024-01-03 10:00')");
  int pid = -1;
  bool sent = false;
  RunOptions options;
  options.timeoutSeconds = 30;
  options.started = [&pid](int child) { pid = child; };
  options.onOutput = [&](const std::string& out) {
    if (sent || out != "1\n") return;
    sent = kill(pid, SIGTERM) == 0;
  };
  const RunResult run =
      runQueryWith({"id", "none", "20240101", "20240103", "1", "60000"}, options);
  EXPECT_TRUE(sent);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.termSignal, SIGTERM);
  EXPECT_EQ(run.out, "1\n");
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
    EXPECT_EQ(runQuery({"id", "none", from, to, days == "2023" ? "1" : days, "0"},
                       {"LUMETTOOL_EXIT_STATUS=on"}, "lumettool", "/dev/full")
                  .exitStatus,
              74);
  }
}

// An unchanged table gives its rows in the same order in every run, which a
// resumed export counts on: also when the table is larger than a quarter of
// the server's shared buffers, where a sequential scan may start in the
// middle of the table to join another one under way, and another session
// keeps scanning it.
TEST_F(Export, SameOrderBesideAConcurrentScan) {
  // About 60 MB, ten days, stored in an order that is not the ids'.
  runSql(
      "INSERT INTO transaction (id, datetime, note) SELECT i, TIMESTAMP '2024-01-01' + "
      "(i % 10) * INTERVAL '1 day' + i * INTERVAL '1 ms', repeat(md5(i::text), 8) "
      "FROM generate_series(1, 200000) AS i ORDER BY md5(i::text)");
  ASSERT_EQ(queryValue(conn_, "SELECT pg_relation_size('transaction') > "
                              "pg_size_bytes(current_setting('shared_buffers')) / 4"),
            "t");
  std::atomic<bool> done{false};
  std::atomic<int> scans{0};
  std::thread scanner([this, &done, &scans] {
    PGconn* scan = connectTo(db_);
    PQclear(PQexec(scan, "SET max_parallel_workers_per_gather TO 0"));
    while (!done && PQstatus(scan) == CONNECTION_OK) {
      PQclear(PQexec(scan, "SELECT count(*) FROM transaction"));
      ++scans;
    }
    PQfinish(scan);
  });
  const std::vector<std::string> args{"id,note", "none", "20240103", "20240103", "0", "0"};
  const std::string first = queryOutput(args);
  const std::string second = queryOutput(args);
  done = true;
  scanner.join();
  EXPECT_GT(scans, 0);
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 20000);
  const auto differ = std::mismatch(first.begin(), first.end(), second.begin(), second.end());
  EXPECT_TRUE(first == second) << "the runs differ from byte " << differ.first - first.begin();
}

// The bad-input sweep's transaction_query cases (sweep_cases.h) whose
// arguments pass the tool's own checks, here reaching the statement builder
// and the server: each ends with Success or the failed statement, as the
// sweep's rule for the test table says, and a run that succeeds prints the
// rows of its days that its filter keeps.
TEST_F(Export, BadInputSweepReachesTheServer) {
  runSql("ALTER TABLE transaction ADD amount numeric(10,2), ADD status int");
  runSql(
      "INSERT INTO transaction (id, datetime, amount, status) VALUES "
      "(1, '2024-01-01 10:00', 2.5, 1), (2, '2024-01-02 12:00', 1, 2), "
      "(3, '2024-01-02 23:59:59.5', 7, 1), (4, '2024-01-03 00:00', 9, 1)");
  struct Row {
    int day;
    bool statusOne;
    std::string idAmount, all;
  };
  const std::vector<Row> rows{{20240101, true, "1|2.50", "1|2024-01-01 10:00:00|||||2.50|1"},
                              {20240102, false, "2|1.00", "2|2024-01-02 12:00:00|||||1.00|2"},
                              {20240102, true, "3|7.00", "3|2024-01-02 23:59:59.5|||||7.00|1"},
                              {20240103, true, "4|9.00", "4|2024-01-03 00:00:00|||||9.00|1"}};
  // The select lists that succeed are blanks (no column), all, a number or
  // id,amount (sweep::serverReads).
  const auto printed = [&rows](const sweep::SweepCase& c) {
    const bool filtered = c.program == "lumettool";
    std::string select = sweep::lowerCase(c.args[1]);
    std::erase_if(select, [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); });
    const int from = sweep::dayOf(c.args[filtered ? 3 : 2]);
    const int to = sweep::dayOf(c.args[filtered ? 4 : 3]);
    const bool onlyStatusOne = filtered && !sweep::filterOf(c.args[2]).empty();
    std::string out;
    for (const Row& row : rows) {
      if (row.day < from || row.day > to || (onlyStatusOne && !row.statusOne)) continue;
      const bool every = select == "all" || select == "*";
      out += (select == "id,amount" ? row.idAmount : every ? row.all : select) + "\n";
    }
    return out + sweep::kSuccess;
  };
  std::vector<sweep::SweepCase> cases;
  for (sweep::SweepCase& c : sweep::queryCases(sweep::Reach::kTestTable)) {
    if (!c.sent) continue;  // refused before the server is asked
    if (c.expected == sweep::kSuccess) c.output = printed(c);
    const bool filtered = c.program == "lumettool";
    std::vector<std::string> plain{"transaction_query", "id,amount", "status=1", "20240101",
                                   "20240102"};
    if (!filtered) plain.erase(plain.begin() + 2);
    if (std::equal(plain.begin(), plain.end(), c.args.begin())) {
      EXPECT_EQ(c.output,
                filtered ? "1|2.50\n3|7.00\nSuccess" : "1|2.50\n2|1.00\n3|7.00\nSuccess");
    }
    cases.push_back(c);
  }
  std::cout << cases.size() << " runs against the server\n";
  sweep::runSweep(cases, dir_.path);
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

  std::string databaseChecksum() {
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
  std::string psqlRows(const std::string& condition) {
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
  const std::string checksum = databaseChecksum();
  struct Case {
    std::string fields, condition, expected;  // edition 2.0 when condition is "-"
    std::string errHas{};                     // see expectStderr
    std::string role{};                       // the settings' role when empty
    std::vector<std::string> env = {};
  };
  // Refused by the tool, before anything is sent; refused by the server.
  const std::string from = "error: the field list holds the word from, which ends a select list";
  const std::string bracket = "error: the condition closes a bracket it did not open";
  const auto readOnly = [](const std::string& what) {
    return "ERROR:  cannot execute " + what + " in a read-only transaction (SQLSTATE 25006)";
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
      {"id from transaction; delete from transaction where id<20; select id", "none", kFailed,
       from},
      {"id from transaction; delete from transaction where id<20; select id", "-", kFailed,
       from},
      {"id from transaction; update transaction set status=9; select id", "-", kFailed, from},
      {"id from transaction; create table evil (); select id", "none", kFailed, from},
      {"id", "1=1) and 1=0; delete from transaction where id<10; select 1 from transaction where (1=1",
       kFailed, bracket},
      // Writes from within the statement: a read-only transaction refuses them.
      {"id", "nextval('s')>0", kFailed, readOnly("nextval()")},
      {"nextval('s')", "-", kFailed, readOnly("nextval()")},
      {"id", "ins()", kFailed, readOnly("INSERT")},
      {"id", "ddl()", kFailed, readOnly("CREATE TABLE")},
      // READ ONLY lets lo_create write; the rollback at the chunk's end undoes it.
      {"lo_create(0)>0", "none", "t\nt\nt\nt\nSuccess"},
      {"id", "sneak(datetime)", kFailed,
       "ERROR:  transaction read-write mode must be set before any query (SQLSTATE 25001)"},
      // A session default changed in the first chunk does not make the next one writable.
      {"id", "later_write(datetime)", "1\n2\n" + kFailed,
       "error: the statement for 2024-01-02..2024-01-02 failed: " + readOnly("INSERT")},
      // Conditions that try to leave their brackets or comment the range out.
      {"id", "status=1) or (true", kFailed, bracket},
      {"id", "status=1) or true --", kFailed, bracket},
      {"id", "status=1) or true /*", kFailed, bracket},
      {"id", "1=1) union select id from transaction where (true", kFailed, bracket},
      // Field lists that end the select list early to read every day.
      {"id from transaction union all select id", "none", kFailed, from},
      {"id from transaction where $1::text<>$2::text --", "-", kFailed, from},
      {"id from transaction where $1::text<>$2::text --", "none", kFailed, from},
      // In UTF-8 the server reads \' after é as a quote, in SJIS as the end of a character.
      {"id", "note=E'\xC3\xA9\\' ') or ('a'='a'", kFailed,
       "error: the condition's E'...' text has a backslash right after a byte above 127"},
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
      {everyId, "none", allowed + allowed + allowed + "Success", "", reader},
      {february, "none", "7\n7\n7\n7\nSuccess"},  // once for each row of the days
      {february, "none", "Success", "", reader},
      {"(" + anyText + ")::text like '%<id>7</id>%'", "none", "t\nt\nt\nt\nSuccess"},
      {"(" + anyText + ")::text like '%<id>5</id>%'", "-", kFailed,
       "ERROR:  permission denied for function query_to_xml", reader},
      // The range's operators are pg_catalog's whatever the search path,
      // which the export names when its first schema is not the table's.
      {"id", "status=1", "psql", schemaWarning, "", {evilPath}},
      {"id", "none", "1\n2\n3\n4\nSuccess", schemaWarning, reader, {evilPath}},
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
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    if (c.expected == "psql") {
      const std::string rows = psqlRows(c.condition);
      EXPECT_NE(rows, "");
      EXPECT_EQ(run.out, rows + finalMessage(Outcome::kSuccess));
    } else {
      EXPECT_EQ(run.out, c.expected);
    }
    expectStderr(run.err, c.errHas);
    EXPECT_EQ(databaseChecksum(), checksum);
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
