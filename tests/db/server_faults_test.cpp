// The export when the server, the login or the output fails: the rows of the
// chunks that finished stay printed, the last line is exactly one error
// message, and the run never hangs nor ends with Success.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/db_fixture.h"
#include "tests/support/final_message.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kSqlFailed = finalMessage(Outcome::kInvalidSql);
const std::string kNoConnect = finalMessage(Outcome::kCannotConnect);
const std::string kAllRows = "1\n2\n3\n4\n5\nSuccess";  // of ServerFaults' table

// The cluster that pg_virtualenv made for this run (scripts/lib/setup.sh).
const std::string kClusterVersion = "15";
const std::string kClusterName = "regress";

// The status column of `pg_lsclusters` for the test cluster when it is the
// one this run reaches through PGPORT; "" otherwise.
std::string sClusterStatus() {
  RunOptions options;
  options.timeoutSeconds = 30;
  const RunResult run = runProgram("/usr/bin/pg_lsclusters", {"-h"}, options);
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string version;
    std::string name;
    std::string port;
    std::string status;
    words >> version >> name >> port >> status;
    if (version == kClusterVersion && name == kClusterName && port == envValue("PGPORT"))
      return status;
  }
  return "";
}

// Runs `pg_ctlcluster 15 regress action`; true when it succeeded.
bool boCluster(const std::string& action) {
  RunOptions options;
  options.timeoutSeconds = 90;
  return runProgram("/usr/bin/pg_ctlcluster", {kClusterVersion, kClusterName, action}, options)
             .exitStatus == 0;
}

// Why this run may not stop and start the server; "" when it may. Only a
// throwaway cluster of pg_virtualenv is ever touched.
std::string sNoClusterControl() {
  if (envValue("PG_CLUSTER_CONF_ROOT").empty()) return "not inside pg_virtualenv";
  if (access("/usr/bin/pg_ctlcluster", X_OK) != 0) return "no pg_ctlcluster";
  if (sClusterStatus() != "online") {
    return "PGPORT is not the port of cluster " + kClusterVersion + "/" + kClusterName;
  }
  return "";
}

// Starts the cluster again, whatever a test did to it: later tests, and the
// other build's run, share it.
struct ClusterKeptRunning {
  ~ClusterKeptRunning() {
    if (sClusterStatus() != "online") {
      EXPECT_TRUE(boCluster("start"));
    }
  }
};

class ServerFaults : public DbTest {
 protected:
  // Helpers in the test's database, usable in a condition:
  //   seen()              reports the statement that evaluates it;
  //   nap(secs[, chosen]) sleeps `secs` on each row (for which `chosen`
  //                       holds) and is true.
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // The export's transactions are read-only and rolled back: seen()
    // records through a connection of its own (dblink), which they do not undo.
    runSql("CREATE EXTENSION dblink");
    runSql("CREATE TABLE statement_log (at text)");
    runSql(
        "CREATE FUNCTION seen() RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER AS $$BEGIN "
        "PERFORM dblink_exec('hostaddr=127.0.0.1 port=" +
        envValue("PGPORT") + " user=" + envValue("PGUSER") + " password=" + envValue("PGPASSWORD") +
        " dbname=" + db_ +
        "', format('INSERT INTO statement_log VALUES (%L)', statement_timestamp())); "
        "RETURN true; END$$");
    runSql(
        "CREATE FUNCTION nap(secs float8, chosen boolean DEFAULT true) "
        "RETURNS boolean LANGUAGE plpgsql AS "
        "$$BEGIN IF chosen THEN PERFORM pg_sleep(secs); END IF; RETURN true; END$$");
    // Days 2024-01-01..2024-01-04 in 1-day chunks print 1, 2, 3 and 4, 5.
    // Row 3 comes before row 4 within the third chunk's result.
    insertStamps(
        "(1, '2024-01-01 09:00'), (2, '2024-01-02 09:00'), (3, '2024-01-03 09:00'), "
        "(4, '2024-01-03 10:00'), (5, '2024-01-04 09:00')");
  }

  // A role that may read `transaction` becomes the tool's login.
  void vdLoginAsReader() {
    createRole();
    runSql("GRANT SELECT ON transaction TO " + roleName());
    ASSERT_EQ(initSettings(envValue("PGPORT"), roleName(), "pw"), finalMessage(Outcome::kSuccess));
  }

  // Statements that reached seen() since the last call.
  int inStatementsSeen() {
    const std::string count = queryValue(conn_, "SELECT count(DISTINCT at) FROM statement_log");
    runSql("TRUNCATE statement_log");
    return std::stoi(count);
  }

  // Waits, at most 15 seconds, until `count` sessions of the tool's role
  // match `condition` in pg_stat_activity.
  bool boSessionReaches(const std::string& condition, const std::string& count = "1") {
    for (int i = 0; i < 300; ++i) {
      if (queryValue(admin_, "SELECT count(*) FROM pg_stat_activity WHERE usename = '" +
                                 roleName() + "' AND " + condition) == count) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
};

TEST_F(ServerFaults, StoppedServerCannotBeReached) {
  const std::string reason = sNoClusterControl();
  if (!reason.empty()) GTEST_SKIP() << "cannot stop the server: " << reason;
  const std::vector<std::string> args{"id", "none", "20240101", "20240104", "1", "0"};
  {
    const ClusterKeptRunning guard;
    ASSERT_TRUE(boCluster("stop"));
    RunOptions options;
    options.timeoutSeconds = 15;  // well past the five-second connect time-out
    const RunResult run = runQueryWith(args, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kNoConnect);
  }
  reconnect();
  // The same settings reach the server once it is back.
  EXPECT_EQ(queryOutput(args), kAllRows);
}

// The tool's connection fails after two chunks were printed: while it waits
// between chunks, or while the third chunk's statement runs. Without retries
// the export ends there and says where to go on; with them it connects again
// and runs the chunk again from its start, unless the statement itself is
// at fault.
TEST_F(ServerFaults, ConnectionLostMidExportKeepsFinishedChunks) {
  vdLoginAsReader();
  // Row 4 sleeps for as long as the table says: the test lets a chunk that
  // runs again go through.
  runSql("CREATE TABLE naptime AS SELECT 60::float8 AS secs");
  runSql("GRANT SELECT ON naptime TO " + roleName());
  enum class Fault { kTerminate, kRestart, kRevokeSelect };
  struct Case {
    std::string name;
    Fault fault;
    bool duringStatement;
    std::string retries, expected;
    std::string errHas;  // the reason; without retries the resume point follows it
  };
  const std::string inPause = "lumettool: error: the connection was lost after 2024-01-02: ";
  const std::string inThird = "lumettool: error: the statement for 2024-01-03..2024-01-03 failed: ";
  const std::string terminated = "FATAL:  terminating connection due to administrator command";
  const std::string retried = "lumettool: warning: the statement for 2024-01-03..2024-01-03 failed: ";
  const std::vector<Case> cases{
      {"backend terminated in the pause", Fault::kTerminate, false, "0", "1\n2\n" + kSqlFailed,
       "lumettool: " + terminated + "\n" + inPause},
      {"backend terminated during a statement", Fault::kTerminate, true, "0",
       "1\n2\n" + kSqlFailed, inThird + terminated},
      {"server restarted in the pause", Fault::kRestart, false, "0", "1\n2\n" + kSqlFailed, inPause},
      {"server restarted during a statement", Fault::kRestart, true, "0", "1\n2\n" + kSqlFailed,
       inThird},
      {"SELECT revoked in the pause", Fault::kRevokeSelect, false, "0", "1\n2\n" + kSqlFailed,
       inThird + "ERROR:  permission denied for table transaction (SQLSTATE 42501)"},
      // With retries: what passes is ridden through, a wrong statement is not retried.
      {"backend terminated in the pause, retried", Fault::kTerminate, false, "2", kAllRows,
       "lumettool: warning: the connection was lost in the pause after 2024-01-02: "},
      {"backend terminated during a statement, retried", Fault::kTerminate, true, "2", kAllRows,
       retried + terminated + " (SQLSTATE 57P01); retry 1 of 2 in 1 s\n"},
      {"server restarted during a statement, retried", Fault::kRestart, true, "5", kAllRows,
       retried},
      {"SELECT revoked in the pause, not retried", Fault::kRevokeSelect, false, "2",
       "1\n2\n" + kSqlFailed, inThird + "ERROR:  permission denied"},
  };
  const std::string reason = sNoClusterControl();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault == Fault::kRestart && !reason.empty()) {
      std::cout << "[ SKIPPED  ] " << c.name << ": cannot restart the server: " << reason << "\n";
      continue;
    }
    std::optional<ClusterKeptRunning> guard;
    if (c.fault == Fault::kRestart) guard.emplace();
    runSql("UPDATE naptime SET secs = 60");
    bool acted = false;
    RunOptions options;
    options.timeoutSeconds = 40;
    options.env = {"LUMETTOOL_RETRIES=" + c.retries};
    options.onOutput = [&](const std::string& out) {
      if (acted || out != "1\n2\n") return;
      acted = true;
      // Chunk 3 sleeps when asked to; otherwise the tool sits in its pause
      // with an idle session.
      ASSERT_TRUE(boSessionReaches(c.duringStatement ? "state = 'active' AND wait_event = 'PgSleep'"
                                                     : "state = 'idle'"));
      // The statement that sleeps has read the table already; a chunk that
      // runs again does not sleep.
      runSql("UPDATE naptime SET secs = 0");
      switch (c.fault) {
        case Fault::kTerminate:
          EXPECT_EQ(queryValue(admin_, "SELECT count(pg_terminate_backend(pid)) FROM "
                                   "pg_stat_activity WHERE usename = '" + roleName() + "'"),
                    "1");
          break;
        case Fault::kRestart: EXPECT_TRUE(boCluster("restart")); break;
        case Fault::kRevokeSelect: runSql("REVOKE SELECT ON transaction FROM " + roleName()); break;
      }
      if (c.fault == Fault::kRestart) reconnect();
    };
    const std::string condition =
        c.duringStatement ? "nap((select secs from naptime), id=4)" : "none";
    const RunResult run =
        runQueryWith({"id", condition, "20240101", "20240104", "1", "1500"}, options);
    EXPECT_TRUE(acted);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, c.expected);
    EXPECT_NE(run.err.find(c.errHas), std::string::npos) << run.err;
    if (c.expected == kAllRows) {
      EXPECT_EQ(run.err.find("lumettool: error:"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err.find("; retry "), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("lumettool: hint: to go on, keep the first 4 bytes this run wrote "
                             "to standard output, which hold the rows up to 2024-01-02, and run "
                             "again with date-from 20240103 appending to them\n"),
                std::string::npos)
          << run.err;
    }
    if (c.fault == Fault::kRevokeSelect) runSql("GRANT SELECT ON transaction TO " + roleName());
  }
}

// Told to stop, in a statement or in the pause, the export cancels what runs
// on the server, drops the chunk in progress, says where to go on and ends
// by the same signal; killed outright, the server ends its statement itself.
TEST_F(ServerFaults, StopSignalsCancelTheStatement) {
  vdLoginAsReader();
  struct Case {
    std::string name;
    int signal;
    bool duringStatement;
  };
  const std::vector<Case> cases{
      {"SIGTERM during a statement", SIGTERM, true},
      {"SIGINT during a statement", SIGINT, true},
      {"SIGHUP in the pause", SIGHUP, false},
      {"SIGTERM in the pause", SIGTERM, false},
      {"SIGKILL during a statement", SIGKILL, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int pid = -1;
    bool sent = false;
    std::chrono::steady_clock::time_point sentAt;
    RunOptions options;
    options.timeoutSeconds = 40;
    options.started = [&pid](int child) { pid = child; };
    options.onOutput = [&](const std::string& out) {
      if (sent || out != "1\n2\n") return;
      ASSERT_TRUE(boSessionReaches(c.duringStatement ? "state = 'active' AND wait_event = 'PgSleep'"
                                                     : "state = 'idle'"));
      sent = kill(pid, c.signal) == 0;
      sentAt = std::chrono::steady_clock::now();
    };
    const RunResult run =
        runQueryWith({"id", c.duringStatement ? "nap(60, id=4)" : "none", "20240101", "20240104",
                      "1", c.duringStatement ? "0" : "2000"},
                     options);
    EXPECT_TRUE(sent);
    EXPECT_EQ(run.termSignal, c.signal);
    EXPECT_EQ(run.out, "1\n2\n");
    // Nothing of the tool's is left on the server three seconds on (the
    // server notices a client killed outright within its check interval).
    EXPECT_TRUE(boSessionReaches("true", "0"));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sentAt).count(),
              c.signal == SIGKILL ? 6.0 : 3.0);
    if (c.signal == SIGKILL) continue;
    EXPECT_NE(run.err.find("lumettool: error: stopped by " + c.name.substr(0, c.name.find(' ')) +
                           (c.duringStatement ? "; the rows of 2024-01-03..2024-01-03 were dropped"
                                              : " in the pause after 2024-01-02")),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("lumettool: hint: to go on, keep the first 4 bytes this run wrote to "
                           "standard output, which hold the rows up to 2024-01-02, and run again "
                           "with date-from 20240103"),
              std::string::npos)
        << run.err;
  }
}

// The hint after a failure names the day and the bytes to keep: cutting the
// file there and running again from that day, appending, gives the file an
// uninterrupted run gives, whatever stopped the first run.
TEST_F(ServerFaults, ResumeRecipeGivesTheUninterruptedFile) {
  runSql("ALTER TABLE transaction ADD amount int");
  runSql("UPDATE transaction SET amount = 1, note = 'n' || id");
  const std::vector<std::string> args{"id,note,10/amount", "none", "20240101", "20240104", "1", "0"};
  const std::string whole = dir_.pathOf("whole.txt");
  RunOptions plain;
  plain.stdoutPath = whole;
  ASSERT_EQ(runQueryWith(args, plain).exitStatus, 0);
  const std::string expected = readFile(whole);
  ASSERT_TRUE(expected.ends_with("5|n5|10\nSuccess")) << expected;

  runSql("UPDATE transaction SET amount = 0 WHERE id = 4");  // the third chunk fails
  for (const bool append : {false, true}) {
    SCOPED_TRACE(append ? "appended to earlier output" : "a new file");
    const std::string earlier = append ? "earlier lines\n" : "";
    const std::string file = dir_.pathOf("resumed.txt");
    writeFile(file, earlier);
    RunOptions options;
    options.stdoutPath = file;
    options.stdoutAppend = true;
    const RunResult failed = runQueryWith(args, options);
    std::string firstTwoDays = earlier;
    firstTwoDays += "1|n1|10\n2|n2|10\n" + kSqlFailed;
    EXPECT_EQ(readFile(file), firstTwoDays);
    const size_t at = failed.err.find("(truncate -s ");
    ASSERT_NE(at, std::string::npos) << failed.err;
    const size_t keep = std::stoul(failed.err.substr(at + 13));
    EXPECT_EQ(keep, earlier.size() + 16);
    ASSERT_NE(failed.err.find("run again with date-from 20240103 appending"), std::string::npos);

    runSql("UPDATE transaction SET amount = 1 WHERE id = 4");
    ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(keep)), 0);
    std::vector<std::string> rest = args;
    rest[2] = "20240103";
    EXPECT_EQ(runQueryWith(rest, options).exitStatus, 0);
    EXPECT_EQ(readFile(file), earlier + expected);
    runSql("UPDATE transaction SET amount = 0 WHERE id = 4");
  }

  // A disk that fills up in the middle of a chunk's lines.
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  runSql("UPDATE transaction SET amount = 1, note = repeat('x', 30000) || id");
  ASSERT_EQ(runQueryWith(args, plain).exitStatus, 0);
  const std::string big = readFile(whole);
  const TempDir disk;
  const auto mount = [&disk](const std::string& size) {
    return runProgram("/bin/mount", {"-t", "tmpfs", "-o", size, "tmpfs", disk.path}).exitStatus;
  };
  ASSERT_EQ(mount("size=64k"), 0);
  const std::string file = disk.pathOf("out.txt");
  RunOptions options;
  options.stdoutPath = file;
  options.stdoutAppend = true;
  const RunResult full = runQueryWith(args, options);
  EXPECT_EQ(full.exitStatus, 1);
  EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
  const size_t at = full.err.find("(truncate -s ");
  EXPECT_NE(at, std::string::npos) << full.err;
  if (at != std::string::npos) {
    const size_t keep = std::stoul(full.err.substr(at + 13));
    EXPECT_EQ(big.substr(0, keep), readFile(file).substr(0, keep));
    const size_t from = full.err.find("date-from ", at);
    EXPECT_EQ(mount("remount,size=4m"), 0);
    ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(keep)), 0);
    std::vector<std::string> rest = args;
    rest[2] = full.err.substr(from + 10, 8);
    EXPECT_EQ(runQueryWith(rest, options).exitStatus, 0);
    EXPECT_EQ(readFile(file), big);
  }
  EXPECT_EQ(runProgram("/bin/umount", {disk.path}).exitStatus, 0);
}

// Logins the server refuses and statements it rejects. Each case changes the
// tool's role or the table, runs a 1-day chunked export, and undoes it.
TEST_F(ServerFaults, RefusedLoginsAndRejectedStatements) {
  vdLoginAsReader();
  const std::string role = roleName();
  struct Case {
    std::string name, change, undo, database, fields, condition, expected;
    std::string errHas{};  // what standard error says, besides the program's prefix
  };
  const std::vector<Case> cases{
      {"baseline", "", "", "", "id", "none", "1\n2\nSuccess"},
      {"missing database", "", "", "lumet_no_such_database", "id", "none", kNoConnect,
       "cannot connect: connection to server at \"127.0.0.1\", port " + envValue("PGPORT") +
           " failed: FATAL:  database \"lumet_no_such_database\" does not exist"},
      {"role without LOGIN", "ALTER ROLE " + role + " NOLOGIN", "ALTER ROLE " + role + " LOGIN", "",
       "id", "none", kNoConnect, "is not permitted to log in"},
      {"no CONNECT on the database", "REVOKE CONNECT ON DATABASE " + db_ + " FROM PUBLIC",
       "GRANT CONNECT ON DATABASE " + db_ + " TO PUBLIC", "", "id", "none", kNoConnect},
      // A name that holds the words of a server without free slots is
      // still a missing database: not retried.
      {"database named as a full server", "", "", "too many clients already", "id", "none",
       kNoConnect, "FATAL:  database \"too many clients already\" does not exist"},
      {"missing table", "ALTER TABLE transaction RENAME TO moved",
       "ALTER TABLE moved RENAME TO transaction", "", "id", "none", kSqlFailed,
       "lumettool: error: the table transaction cannot be exported: ERROR:  relation "
       "\"transaction\" does not exist (SQLSTATE 42P01)\n"},
      {"missing datetime column", "ALTER TABLE transaction RENAME datetime TO stamp",
       "ALTER TABLE transaction RENAME stamp TO datetime", "", "id", "none", kSqlFailed,
       "the table transaction cannot be exported: ERROR:  column \"datetime\" does not exist "
       "(SQLSTATE 42703)"},
      {"datetime of text", "ALTER TABLE transaction ALTER datetime TYPE text",
       "ALTER TABLE transaction ALTER datetime TYPE timestamp USING datetime::timestamp", "", "id",
       "none", kSqlFailed,
       "the table transaction cannot be exported: its column datetime is of type text, which "
       "whole days cannot bound; it must be timestamp, timestamptz or date\n"},
      {"datetime of date", "ALTER TABLE transaction ALTER datetime TYPE date",
       "ALTER TABLE transaction ALTER datetime TYPE timestamp", "", "id", "none", "1\n2\nSuccess"},
      // Raised inside the statement (as dblink does when it cannot reach
      // another server), class 08 is the statement's failure: not retried.
      {"class 08 from a function",
       "CREATE FUNCTION elsewhere() RETURNS boolean LANGUAGE plpgsql AS $$BEGIN RAISE "
       "EXCEPTION 'no answer elsewhere' USING ERRCODE = '08006'; END$$",
       "DROP FUNCTION elsewhere()", "", "id", "elsewhere()", kSqlFailed,
       "the statement for 2024-01-01..2024-01-01 failed: ERROR:  no answer elsewhere (SQLSTATE "
       "08006)"},
      // A role that may not release advisory locks: each chunk counts, and
      // the operator is told once.
      {"unlock not allowed", "REVOKE EXECUTE ON FUNCTION pg_advisory_unlock_all() FROM PUBLIC",
       "GRANT EXECUTE ON FUNCTION pg_advisory_unlock_all() TO PUBLIC", "", "id", "none",
       "1\n2\nSuccess",
       "lumettool: warning: the session's advisory locks could not be released after a chunk: "
       "ERROR:  permission denied for function pg_advisory_unlock_all (SQLSTATE 42501)\n"},
      {"missing column in the fields", "", "", "", "id,amount", "none", kSqlFailed,
       "ERROR:  column \"amount\" does not exist (SQLSTATE 42703)"},
      {"missing column in the condition", "", "", "", "id", "amount>0", kSqlFailed},
      {"no SELECT on the table", "REVOKE SELECT ON transaction FROM " + role,
       "GRANT SELECT ON transaction TO " + role, "", "id", "none", kSqlFailed,
       "ERROR:  permission denied for table transaction (SQLSTATE 42501)"},
      {"SELECT on other columns only",
       "REVOKE SELECT ON transaction FROM " + role +
           "; GRANT SELECT (datetime) ON transaction TO " + role,
       "REVOKE SELECT (datetime) ON transaction FROM " + role +
           "; GRANT SELECT ON transaction TO " + role,
       "", "id", "none", kSqlFailed},
      {"SELECT on the columns used",
       "REVOKE SELECT ON transaction FROM " + role +
           "; GRANT SELECT (id, datetime) ON transaction TO " + role,
       "REVOKE SELECT (id, datetime) ON transaction FROM " + role +
           "; GRANT SELECT ON transaction TO " + role,
       "", "id", "none", "1\n2\nSuccess"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.change.empty()) runSql(c.change);
    ASSERT_EQ(initSettings(envValue("PGPORT"), role, "pw", c.database),
              finalMessage(Outcome::kSuccess));
    const RunResult run = runQuery({c.fields, c.condition, "20240101", "20240102", "1", "0"});
    EXPECT_EQ(run.out, c.expected);
    EXPECT_NE(run.err.find(c.errHas), std::string::npos) << run.err;
    // None of these passes, and a warning comes once a run.
    EXPECT_EQ(run.err.find("; retry "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("warning", run.err.find("warning") + 1), std::string::npos) << run.err;
    if (!c.undo.empty()) runSql(c.undo);
  }
}

// A statement time-out set for the tool's role limits each chunk's
// statement, not the export.
TEST_F(ServerFaults, RoleStatementTimeoutEndsTheExportAtTheSlowChunk) {
  vdLoginAsReader();
  execSql(admin_, "ALTER ROLE " + roleName() + " SET statement_timeout = '1s'");
  struct Case {
    std::string name, condition, days, expected, errHas;
  };
  const std::string timeout = "ERROR:  canceling statement due to statement timeout (SQLSTATE 57014)";
  const std::vector<Case> cases{
      // Row 3 came before the slow row 4 ended the statement: not printed.
      {"third chunk too slow", "nap(3, id=4)", "1", "1\n2\n" + kSqlFailed,
       "the statement for 2024-01-03..2024-01-03 failed: " + timeout},
      {"every chunk within the limit", "nap(0.3)", "1", kAllRows, ""},
      {"one statement past the limit", "nap(0.3)", "0", kSqlFailed,
       "the statement for 2024-01-01..2024-01-04 failed: " + timeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = runQuery({"id", c.condition, "20240101", "20240104", c.days, "0"});
    EXPECT_EQ(run.out, c.expected);
    if (c.errHas.empty()) {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_NE(run.err.find(c.errHas), std::string::npos) << run.err;
  }
}

// Output that cannot be written stops the export at once: no further chunk
// is fetched from the server, the run ends with status 1 (never a signal,
// even when the reader has gone), and the connection is closed the ordinary
// way (nothing the tool meant for its output ever reaches the server, and
// the session is not left for the server to find cut off).
TEST_F(ServerFaults, UnwritableOutputStopsTheExport) {
  vdLoginAsReader();
  const std::string brokenSessions =
      "SELECT sessions_fatal || '/' || sessions_abandoned FROM pg_stat_database WHERE datname = '" +
      db_ + "'";
  struct Case {
    std::string name, stdoutPath;
    bool readerCloses;
    std::vector<int> closedFds;
    int maxStatements;
  };
  const std::vector<Case> cases{
      // The first chunk's rows cannot be flushed.
      {"standard output on /dev/full", "/dev/full", false, {}, 1},
      {"standard output closed", "", false, {1}, 1},
      // The reader goes away after the first line; the second chunk's rows
      // are the first that cannot be written.
      {"reader closes the pipe", "", true, {}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string brokenBefore = queryValue(admin_, brokenSessions);
    RunOptions options;
    options.stdoutPath = c.stdoutPath;
    options.closeStdoutEarly = c.readerCloses;
    options.closedFds = c.closedFds;
    options.timeoutSeconds = 20;
    const RunResult run =
        runQueryWith({"id", "seen()", "20240101", "20240104", "1", "500"}, options);
    EXPECT_FALSE(run.timedOut);
    if (c.readerCloses) {
      EXPECT_EQ(run.out, "1\n");
    }
    EXPECT_EQ(run.termSignal, 0);
    EXPECT_EQ(run.exitStatus, 1);
    const int statements = inStatementsSeen();
    EXPECT_GE(statements, 1);
    EXPECT_LE(statements, c.maxStatements);
    // A session that sent the server anything but protocol ends in FATAL;
    // one that ended without saying goodbye counts as abandoned.
    ASSERT_TRUE(boSessionReaches("true", "0"));
    EXPECT_EQ(queryValue(admin_, brokenSessions), brokenBefore);
  }
  // The same export, written out, reaches all four chunks.
  EXPECT_EQ(queryOutput({"id", "seen()", "20240101", "20240104", "1", "0"}), kAllRows);
  EXPECT_EQ(inStatementsSeen(), 4);
}

// libpq reports the server's notices on standard error; when the tool was
// started without one they must not land in the connection.
TEST_F(ServerFaults, ServerNoticesWithStandardErrorClosed) {
  runSql(
      "CREATE FUNCTION loud() RETURNS boolean LANGUAGE plpgsql AS "
      "$$BEGIN RAISE NOTICE 'row seen'; RETURN true; END$$");
  RunOptions options;
  options.closedFds = {2};
  options.timeoutSeconds = 20;
  const RunResult run = runQueryWith({"id", "loud()", "20240101", "20240104", "1", "0"}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, kAllRows);
}

}  // namespace
