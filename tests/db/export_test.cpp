// The export against a real PostgreSQL server: each test gets a database of
// its own holding a fresh `transaction` table, writes the settings file with
// a real `db_init` run and runs the programs as processes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

std::string sEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

PGconn* pcConnect(const std::string& db) {
  return PQconnectdb(("hostaddr=127.0.0.1 port=" + sEnv("PGPORT") + " user=" + sEnv("PGUSER") +
                      " password=" + sEnv("PGPASSWORD") + " dbname=" + db +
                      " options='-c client_min_messages=warning'")
                         .c_str());
}

void vdExec(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
      << sql << ": " << PQerrorMessage(conn);
  PQclear(result);
}

// A local TCP port: listening (connections complete, nothing ever answers)
// or merely bound (connections are refused). Closed with the object.
struct LocalPort {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  explicit LocalPort(bool listening) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto len = static_cast<socklen_t>(sizeof addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    if (listening) {
      EXPECT_EQ(listen(fd, 8), 0);
    }
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    port = std::to_string(ntohs(addr.sin_port));
  }
  ~LocalPort() { close(fd); }
  std::string port;
};

class Export : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("PGPORT") == nullptr) GTEST_SKIP() << "no PostgreSQL: run under pg_virtualenv";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    db_ = "lumet_" + std::string(info->name());
    for (char& c : db_)
      c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    db_.resize(std::min<size_t>(db_.size(), 55));
    admin_ = pcConnect(sEnv("PGDATABASE"));
    ASSERT_EQ(PQstatus(admin_), CONNECTION_OK) << PQerrorMessage(admin_);
    vdExec(admin_, "DROP DATABASE IF EXISTS " + db_ + " WITH (FORCE)");
    vdExec(admin_, "DROP ROLE IF EXISTS " + db_ + "_r");
    vdExec(admin_, "CREATE DATABASE " + db_ +
                       " TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'");
    conn_ = pcConnect(db_);
    ASSERT_EQ(PQstatus(conn_), CONNECTION_OK) << PQerrorMessage(conn_);
    vdExec(conn_,
           "CREATE TABLE transaction (id int, datetime timestamp, note text, "
           "\"Vendor\" text, allowance int, nonempty boolean)");
    ASSERT_EQ(sInit(sEnv("PGPORT"), sEnv("PGUSER"), sEnv("PGPASSWORD")), "Success");
  }

  void TearDown() override {
    if (conn_ != nullptr) PQfinish(conn_);
    if (admin_ == nullptr) return;
    vdExec(admin_, "DROP DATABASE IF EXISTS " + db_ + " WITH (FORCE)");
    vdExec(admin_, "DROP ROLE IF EXISTS " + db_ + "_r");
    PQfinish(admin_);
  }

  void vdSql(const std::string& sql) { vdExec(conn_, sql); }

  // Rows given as "(id, 'datetime')" lists, the other columns NULL.
  void vdInsertStamps(const std::string& values) {
    vdSql("INSERT INTO transaction (id, datetime) VALUES " + values);
  }

  std::string sInit(const std::string& port, const std::string& user, const std::string& password) {
    RunOptions options;
    options.cwd = dir_.path;
    return rrRun(sProgram("lumettool"), {"db_init", "127.0.0.1", port, user, password, db_},
                 options)
        .out;
  }

  // One transaction_query run; `args` follow the command word.
  RunResult rrQuery(const std::vector<std::string>& args, std::vector<std::string> env = {},
                    const std::string& program = "lumettool", const std::string& stdoutPath = "") {
    std::vector<std::string> argv{"transaction_query"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.cwd = dir_.path;
    options.env = std::move(env);
    options.stdoutPath = stdoutPath;
    options.timeoutSeconds = 20;
    return rrRun(sProgram(program), argv, options);
  }

  // The output of a run that is expected to end normally.
  std::string sQuery(const std::vector<std::string>& args, std::vector<std::string> env = {},
                     const std::string& program = "lumettool") {
    const RunResult run = rrQuery(args, std::move(env), program);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    return run.out;
  }

  TempDir dir_;
  std::string db_;
  PGconn* admin_ = nullptr;
  PGconn* conn_ = nullptr;
};

// Rows on chunk edges of 2024-02-20..2024-03-10 (20 days, a leap day inside).
// With 7 days the chunks are 02-20..02-26, 02-27..03-04 and 03-05..03-10.
TEST_F(Export, EveryChunkingGivesEachRowOnceInOrder) {
  vdInsertStamps(
      "(1, '2024-02-19 23:59:59.999'), (2, '2024-02-20 00:00:00'), (3, '2024-02-26 23:59:59.5'), "
      "(4, '2024-02-27 00:00:00'), (5, '2024-02-29 12:00:00'), (6, '2024-03-04 23:59:59.5'), "
      "(7, '2024-03-05 00:00:00'), (8, '2024-03-10 23:59:59.999'), (9, '2024-03-11 00:00:00')");
  const std::string all = "2\n3\n4\n5\n6\n7\n8\nSuccess";
  struct Case {
    std::string program, from, to, days, delayMs, expected;
  };
  const std::vector<Case> cases{
      {"lumettool", "20240220", "20240310", "0", "0", all},
      {"lumettool", "20240220", "20240310", "-2", "0", all},
      {"lumettool", "20240220", "20240310", "1", "1", all},
      {"lumettool", "20240220", "20240310", "1", "-1", all},  // no pause, not a huge one
      {"lumettool", "20240220", "20240310", "7", "0", all},
      {"lumettool", "20240220", "20240310", "30", "0", all},
      {"lumettool", "20240220", "20240310", "2147483647", "0", all},
      {"lumettool-2.0", "20240220", "20240310", "7", "0", all},
      {"lumettool", "20240310", "20240220", "0", "0", "Success"},
      {"lumettool", "20240310", "20240220", "1", "0", "Success"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.from + ".." + c.to + " days " + c.days + " delay " +
                 c.delayMs);
    std::vector<std::string> args{"id", "none", c.from, c.to, c.days, c.delayMs};
    if (c.program == "lumettool-2.0") args.erase(args.begin() + 1);
    EXPECT_EQ(sQuery(args, {}, c.program), c.expected);
  }
}

TEST_F(Export, FilterAndFieldList) {
  vdSql(
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
    EXPECT_EQ(sQuery({c.fields, c.condition, "20240101", "20240102", "1", "0"}), c.expected);
  }
}

TEST_F(Export, FailingThirdChunkKeepsRowsOfTheFirstTwo) {
  vdSql(
      "INSERT INTO transaction (id, datetime, allowance) VALUES (1, '2024-01-01 09:00', 1), "
      "(2, '2024-01-02 09:00', 1), (3, '2024-01-03 09:00', 0), (4, '2024-01-04 09:00', 1)");
  EXPECT_EQ(sQuery({"id,10/allowance", "none", "20240101", "20240104", "1", "0"}),
            "1|10\n2|10\nError - Invalid Sql Command");
}

// Samoa skipped 2011-12-30 entirely; Dublin's 2011-10-30 lasted 25 hours.
TEST_F(Export, LocalTimeZoneNeitherLosesNorRepeatsADay) {
  vdInsertStamps(
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
    EXPECT_EQ(sQuery({"id", "none", c.from, c.to, c.days, "0"}, {"TZ=" + c.tz}), c.expected);
  }
}

TEST_F(Export, ConnectFailuresAreReported) {
  const LocalPort refusing(false);
  const LocalPort silent(true);  // the connect time-out has to end this one
  struct Case {
    std::string port, password;
  };
  for (const Case& c : std::vector<Case>{{sEnv("PGPORT"), "wrong"},
                                         {refusing.port, sEnv("PGPASSWORD")},
                                         {silent.port, sEnv("PGPASSWORD")}}) {
    SCOPED_TRACE("port " + c.port + " password " + c.password);
    ASSERT_EQ(sInit(c.port, sEnv("PGUSER"), c.password), "Success");
    EXPECT_EQ(sQuery({"id", "none", "20240101", "20240101", "0", "0"}),
              "Error - Can't Connect Database");
  }
}

TEST_F(Export, PasswordWithBlankQuoteAndBackslash) {
  const std::string role = db_ + "_r";
  const std::string password = "p w'd\\x";
  char* literal = PQescapeLiteral(admin_, password.c_str(), password.size());
  vdExec(admin_, "CREATE ROLE " + role + " LOGIN PASSWORD " + literal);
  PQfreemem(literal);
  vdSql("GRANT SELECT ON transaction TO " + role);
  vdInsertStamps("(1, '2024-01-01 10:00')");
  ASSERT_EQ(sInit(sEnv("PGPORT"), role, password), "Success");
  EXPECT_EQ(sQuery({"id", "none", "20240101", "20240101", "0", "0"}), "1\nSuccess");
}

TEST_F(Export, RowsMatchPsqlUnalignedOutput) {
  vdSql("ALTER TABLE transaction ADD amount numeric(10,2), ADD ratio float8");
  vdSql(
      "INSERT INTO transaction VALUES "
      "(1, '2024-01-01 10:00:00.123', 'Grüße | 日本', NULL, -3, true, 1.5, 0.1), "
      "(NULL, '2024-01-01 11:00', NULL, 'a|b', NULL, NULL, NULL, NULL), "
      "(3, '2024-01-01 12:00', '', 'x''y', 0, false, -0.01, 1e300), "
      "(4, '2024-01-01 23:59:59.75', E'two\\nlines', '\\', 7, true, 0, -0.5), "
      "(5, '2024-01-02 00:00', 'next day', NULL, NULL, NULL, NULL, NULL)");
  // A row longer than any buffer of the tool is printed whole.
  vdSql("INSERT INTO transaction (id, datetime, note) VALUES (6, '2024-01-01 13:00', "
        "repeat('long', 5000))");
  RunOptions options;
  options.env = {"PGHOST=127.0.0.1", "PGDATABASE=" + db_};
  const RunResult psql =
      rrRun("/usr/bin/psql",
            {"-X", "-At", "-F|", "-c",
             "SELECT * FROM transaction WHERE transaction.datetime>=TIMESTAMP'2024-01-01 00:00:00' "
             "AND transaction.datetime<TIMESTAMP'2024-01-02 00:00:00'"},
            options);
  ASSERT_EQ(psql.exitStatus, 0);
  ASSERT_NE(psql.out.find("Grüße | 日本"), std::string::npos);
  std::string longNote;
  for (int i = 0; i < 5000; ++i) longNote += "long";
  ASSERT_NE(psql.out.find("6|2024-01-01 13:00:00|" + longNote + "|"), std::string::npos);
  EXPECT_EQ(sQuery({"all", "none", "20240101", "20240101", "0", "0"}), psql.out + "Success");
}

// Rows are assembled in a buffer and written a buffer at a time: lines that
// cross its end, a value longer than it and rows wider than one batch of
// cells all come out as psql prints them.
TEST_F(Export, LargeOutputMatchesPsql) {
  vdSql(
      "INSERT INTO transaction (id, datetime, note, \"Vendor\", allowance, nonempty) "
      "SELECT i, TIMESTAMP '2024-03-01' + i * INTERVAL '1 second', 'note ' || i, "
      "CASE WHEN i % 3 = 0 THEN NULL ELSE 'v' || i END, i % 7, i % 2 = 0 "
      "FROM generate_series(1, 4000) AS i");
  // 200,000 bytes in the middle of the day, and one more at its end.
  vdSql("UPDATE transaction SET note = repeat('0123456789', 20000) WHERE id IN (2000, 4000)");
  std::string wide;
  for (int i = 0; i < 9; ++i) {
    wide += std::string(i > 0 ? "," : "") + "id,note,\"Vendor\",allowance,nonempty";
  }
  RunOptions options;
  options.env = {"PGHOST=127.0.0.1", "PGDATABASE=" + db_};
  for (const std::string& fields : {std::string("*"), std::string("note"), wide}) {
    SCOPED_TRACE(fields.substr(0, 40));
    const RunResult psql = rrRun(
        "/usr/bin/psql",
        {"-X", "-At", "-F|", "-c",
         "SELECT " + fields +
             " FROM transaction WHERE transaction.datetime>=TIMESTAMP'2024-03-01 00:00:00' "
             "AND transaction.datetime<TIMESTAMP'2024-03-02 00:00:00'"},
        options);
    ASSERT_EQ(psql.exitStatus, 0);
    ASSERT_GT(psql.out.size(), size_t{400000});
    const std::string field = fields == "*" ? "all" : fields;
    for (const std::string days : {"0", "1"}) {
      EXPECT_EQ(sQuery({field, "none", "20240301", "20240301", days, "0"}), psql.out + "Success");
    }
  }
  // No columns at all: an empty line per row.
  EXPECT_EQ(sQuery({"", "none", "20240301", "20240301", "0", "0"}),
            std::string(4000, '\n') + "Success");
}

// The rows of a chunk reach the reader before the pause after it, not when
// the buffer is full or the run ends.
TEST_F(Export, ChunkRowsArriveBeforeThePause) {
  vdInsertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00'), (3, '2024-01-03 10:00')");
  std::vector<std::string> argv{"transaction_query", "id", "none", "20240101", "20240103", "1",
                                "2000"};
  RunOptions options;
  options.cwd = dir_.path;
  options.closeStdoutEarly = true;  // the next chunk's write then ends the run
  const RunResult run = rrRun(sProgram("lumettool"), argv, options);
  EXPECT_EQ(run.out, "1\n");
  // Flushed before each pause, the run ends on the second chunk's write after
  // one pause of 2 s; held back, the first line would come after both pauses.
  EXPECT_LT(run.seconds, 3.5);
}

TEST_F(Export, FullStdoutEndsWithStatusOne) {
  vdInsertStamps("(1, '2024-01-01 10:00'), (2, '2024-01-02 10:00'), (3, '2024-01-03 10:00')");
  for (const std::string days : {"0", "1"}) {
    SCOPED_TRACE("days " + days);
    const RunResult run =
        rrQuery({"id", "none", "20240101", "20240103", days, "0"}, {}, "lumettool", "/dev/full");
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
  }
}

}  // namespace
