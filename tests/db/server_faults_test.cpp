// The export when the server, the login or the output fails: the rows of the
// chunks that finished stay printed, the last line is exactly one error
// message, and the run never hangs nor ends with Success.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/db_fixture.h"
#include "tests/support/expect_stderr.h"
#include "tests/support/final_message.h"
#include "tests/support/temp_dir.h"
#include "util/stop_signals.h"

namespace {

const std::string kSqlFailed = finalMessage(Outcome::kInvalidSql);
const std::string kNoConnect = finalMessage(Outcome::kCannotConnect);
const std::string kAllRows = "1\n2\n3\n4\n5\nSuccess";  // of ServerFaults' table

// The cluster that pg_virtualenv made for this run (scripts/lib/setup.sh).
const std::string kClusterVersion = "15";
const std::string kClusterName = "regress";

// The status column of `pg_lsclusters` for the test cluster when it is the
// one this run reaches through PGPORT; "" otherwise.
std::string clusterStatus() {
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
bool controlCluster(const std::string& action) {
  RunOptions options;
  options.timeoutSeconds = 90;
  return runProgram("/usr/bin/pg_ctlcluster", {kClusterVersion, kClusterName, action}, options)
             .exitStatus == 0;
}

// Why this run may not stop and start the server; "" when it may. Only a
// throwaway cluster of pg_virtualenv is ever touched.
std::string whyNoClusterControl() {
  if (envValue("PG_CLUSTER_CONF_ROOT").empty()) return "not inside pg_virtualenv";
  if (access("/usr/bin/pg_ctlcluster", X_OK) != 0) return "no pg_ctlcluster";
  if (clusterStatus() != "online") {
    return "PGPORT is not the port of cluster " + kClusterVersion + "/" + kClusterName;
  }
  return "";
}

// Starts the cluster again, whatever a test did to it: later tests, and the
// other build's run, share it.
struct ClusterKeptRunning {
  ~ClusterKeptRunning() {
    if (clusterStatus() != "online") {
      EXPECT_TRUE(controlCluster("start"));
    }
  }
};

// A connection lost in the middle of an export (expectLossCases).
enum class Fault { kTerminate, kRestart, kRevokeSelect };

struct LossCase {
  std::string name;
  Fault fault;
  bool duringStatement;
  std::string retries, expected;
  std::string errHas;  // the reason; without retries the resume point follows it
  // When set, the run has LUMETTOOL_EXIT_STATUS=on and ends with this status.
  std::optional<int> statusWhenOn{};
  int jobs = 1;  // LUMETTOOL_JOBS; reading ahead, the chunks have no pause
};

class ServerFaults : public DbTest {
 protected:
  // The connection-loss cases of ConnectionLostMidExportKeepsFinishedChunks
  // and RestartMidExportKeepsFinishedChunks, one run each.
  void expectLossCases(const std::vector<LossCase>& cases);

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
  void loginAsReader() {
    createRole();
    runSql("GRANT SELECT ON transaction TO " + roleName());
    ASSERT_EQ(initSettings(envValue("PGPORT"), roleName(), "pw"), finalMessage(Outcome::kSuccess));
  }

  // Statements that reached seen() since the last call.
  int statementsSeen() {
    const std::string count = queryValue(conn_, "SELECT count(DISTINCT at) FROM statement_log");
    runSql("TRUNCATE statement_log");
    return std::stoi(count);
  }

  // Waits, at most 15 seconds, until `count` sessions of the tool's role
  // match `condition` in pg_stat_activity.
  bool sessionReaches(const std::string& condition, const std::string& count = "1") {
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

// The tests that stop or restart the cluster. Every other database test is
// connected to it, so ctest runs these alone (tests/db_test_properties.cmake).
// Where the run may not touch the cluster they are skipped, and fail under
// scripts/test, which always gives them one.
class ServerRestarts : public ServerFaults {
 protected:
  void SetUp() override {
    const std::string reason = whyNoClusterControl();
    if (!reason.empty()) {
      if (!envValue("LUMET_FULL_ENV").empty()) FAIL() << "cannot stop the server: " << reason;
      GTEST_SKIP() << "cannot stop the server: " << reason;
    }
    ServerFaults::SetUp();
  }
};

TEST_F(ServerRestarts, StoppedServerCannotBeReached) {
  const std::vector<std::string> args{"id", "none", "20240101", "20240104", "1", "0"};
  {
    const ClusterKeptRunning guard;
    ASSERT_TRUE(controlCluster("stop"));
    RunOptions options;
    options.timeoutSeconds = 15;  // well past the five-second connect time-out
    const RunResult run = runQueryWith(args, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kNoConnect);
    // A refused connection passes; the tests allow no retries.
    options.env = {"LUMETTOOL_EXIT_STATUS=on"};
    const RunResult on = runQueryWith(args, options);
    EXPECT_EQ(on.out, kNoConnect);
    EXPECT_EQ(on.exitStatus, 75);
  }
  reconnect();
  // The same settings reach the server once it is back.
  EXPECT_EQ(queryOutput(args), kAllRows);
}

// The tool's connection fails after two chunks were printed: while it waits
// between chunks, or while the third chunk's statement runs. Without retries
// the export ends there and says where to go on; with them it connects again
// and runs the chunk again from its start, unless the statement itself is
// at fault. The cases that restart the server are ServerRestarts'.
std::vector<LossCase> lossCases(bool restarts) {
  const std::string lostInPause = "lumettool: error: the connection was lost after 2024-01-02: ";
  const std::string thirdFailed = "lumettool: error: the statement for 2024-01-03..2024-01-03 failed: ";
  const std::string terminated = "FATAL:  terminating connection due to administrator command";
  const std::string retried = "lumettool: warning: the statement for 2024-01-03..2024-01-03 failed: ";
  const std::vector<LossCase> cases{
      {"backend terminated in the pause", Fault::kTerminate, false, "0", "1\n2\n" + kSqlFailed,
       "lumettool: " + terminated + "\n" + lostInPause},
      {"backend terminated during a statement", Fault::kTerminate, true, "0",
       "1\n2\n" + kSqlFailed, thirdFailed + terminated},
      {"server restarted in the pause", Fault::kRestart, false, "0", "1\n2\n" + kSqlFailed,
       lostInPause},
      {"server restarted during a statement", Fault::kRestart, true, "0", "1\n2\n" + kSqlFailed,
       thirdFailed},
      {"SELECT revoked in the pause", Fault::kRevokeSelect, false, "0", "1\n2\n" + kSqlFailed,
       thirdFailed + "ERROR:  permission denied for table transaction (SQLSTATE 42501)"},
      // With retries: what passes is ridden through, a wrong statement is not retried.
      {"backend terminated in the pause, retried", Fault::kTerminate, false, "2", kAllRows,
       "lumettool: warning: the connection was lost in the pause after 2024-01-02: "},
      {"backend terminated during a statement, retried", Fault::kTerminate, true, "2", kAllRows,
       retried + terminated + " (SQLSTATE 57P01); retry 1 of 2 in 1 s\n"},
      {"server restarted during a statement, retried", Fault::kRestart, true, "5", kAllRows,
       retried},
      {"SELECT revoked in the pause, not retried", Fault::kRevokeSelect, false, "2",
       "1\n2\n" + kSqlFailed, thirdFailed + "ERROR:  permission denied"},
      // The exit status tells a failure that passes, retries spent, from a wrong statement.
      {"backend terminated in the pause, status on", Fault::kTerminate, false, "0",
       "1\n2\n" + kSqlFailed, lostInPause, 75},
      {"backend terminated during a statement, status on", Fault::kTerminate, true, "0",
       "1\n2\n" + kSqlFailed, thirdFailed + terminated, 75},
      {"SELECT revoked in the pause, status on", Fault::kRevokeSelect, false, "0",
       "1\n2\n" + kSqlFailed, thirdFailed + "ERROR:  permission denied", 65},
      {"backend terminated during a statement, retried, status on", Fault::kTerminate, true, "2",
       kAllRows, retried + terminated, 0},
      // Read ahead on three connections, the third chunk's fails while the
      // fourth's rows are in already.
      {"backend terminated during a statement, read ahead", Fault::kTerminate, true, "0",
       "1\n2\n" + kSqlFailed, thirdFailed + terminated, 75, 3},
      {"backend terminated during a statement, read ahead, retried", Fault::kTerminate, true, "2",
       kAllRows, retried + terminated + " (SQLSTATE 57P01); retry 1 of 2 in 1 s\n", {}, 3},
      {"server restarted during a statement, read ahead, retried", Fault::kRestart, true, "5",
       kAllRows, retried, {}, 3},
  };
  std::vector<LossCase> picked;
  for (const LossCase& c : cases) {
    if ((c.fault == Fault::kRestart) == restarts) picked.push_back(c);
  }
  return picked;
}

// Runs each case against the tool's reader role, with a 1.5-second pause
// between 1-day chunks.
void ServerFaults::expectLossCases(const std::vector<LossCase>& cases) {
  loginAsReader();
  // Row 4 sleeps for as long as the table says: the test lets a chunk that
  // runs again go through.
  runSql("CREATE TABLE naptime AS SELECT 60::float8 AS secs");
  runSql("GRANT SELECT ON naptime TO " + roleName());
  ASSERT_FALSE(cases.empty());
  for (const LossCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ClusterKeptRunning> guard;
    if (c.fault == Fault::kRestart) guard.emplace();
    runSql("UPDATE naptime SET secs = 60");
    bool acted = false;
    RunOptions options;
    options.timeoutSeconds = 40;
    options.env = {"LUMETTOOL_RETRIES=" + c.retries, "LUMETTOOL_JOBS=" + std::to_string(c.jobs)};
    if (c.statusWhenOn) options.env.emplace_back("LUMETTOOL_EXIT_STATUS=on");
    options.onOutput = [&](const std::string& out) {
      if (acted || out != "1\n2\n") return;
      acted = true;
      // Chunk 3 sleeps when asked to; otherwise the tool sits in its pause
      // with an idle session.
      ASSERT_TRUE(sessionReaches(c.duringStatement ? "state = 'active' AND wait_event = 'PgSleep'"
                                                     : "state = 'idle'"));
      // The statement that sleeps has read the table already; a chunk that
      // runs again does not sleep.
      runSql("UPDATE naptime SET secs = 0");
      switch (c.fault) {
        case Fault::kTerminate:
          // The session of the statement that sleeps, beside those that
          // read ahead.
          EXPECT_EQ(queryValue(admin_, "SELECT count(pg_terminate_backend(pid)) FROM "
                                   "pg_stat_activity WHERE usename = '" + roleName() + "'" +
                                   (c.duringStatement ? " AND wait_event = 'PgSleep'" : "")),
                    "1");
          break;
        case Fault::kRestart: EXPECT_TRUE(controlCluster("restart")); break;
        case Fault::kRevokeSelect: runSql("REVOKE SELECT ON transaction FROM " + roleName()); break;
      }
      if (c.fault == Fault::kRestart) reconnect();
    };
    const std::string condition =
        c.duringStatement ? "nap((select secs from naptime), id=4)" : "none";
    const RunResult run = runQueryWith(
        {"id", condition, "20240101", "20240104", "1", c.jobs > 1 ? "0" : "1500"}, options);
    EXPECT_TRUE(acted);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, c.statusWhenOn.value_or(0));
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

TEST_F(ServerFaults, ConnectionLostMidExportKeepsFinishedChunks) {
  expectLossCases(lossCases(false));
}

TEST_F(ServerRestarts, RestartMidExportKeepsFinishedChunks) { expectLossCases(lossCases(true)); }

// Stops a backend (SIGSTOP) and lets it go on (SIGCONT) when it goes out of
// scope, whatever the test did meanwhile.
struct FrozenBackend {
  explicit FrozenBackend(int backend) : pid(backend > 0 && kill(backend, SIGSTOP) == 0 ? backend : 0) {}
  ~FrozenBackend() {
    if (pid > 0) kill(pid, SIGCONT);
  }
  FrozenBackend(const FrozenBackend&) = delete;
  FrozenBackend& operator=(const FrozenBackend&) = delete;
  int pid;
};

// Told to stop, in a statement or in the pause, the export cancels what runs
// on the server, drops the chunk in progress, says where to go on and ends
// by the same signal; killed outright, the server ends its statement itself.
// A server that does not answer the cancel is waited for a few seconds
// only; a signal ignored when the tool started stays ignored.
TEST_F(ServerFaults, StopSignalsCancelTheStatement) {
  loginAsReader();
  struct Case {
    std::string name;
    int signal;
    bool duringStatement;
    int ignoredAtStart = 0;      // the tool starts with this signal ignored (nohup)
    bool backendFrozen = false;  // the tool's backend is stopped before the signal
    int jobs = 1;                // LUMETTOOL_JOBS
  };
  const std::vector<Case> cases{
      {"SIGTERM during a statement", SIGTERM, true},
      {"SIGINT during a statement", SIGINT, true},
      {"SIGHUP in the pause", SIGHUP, false},
      {"SIGTERM in the pause", SIGTERM, false},
      {"SIGKILL during a statement", SIGKILL, true},
      {"SIGTERM during a statement of a frozen backend", SIGTERM, true, 0, true},
      {"SIGHUP during a statement, ignored from the start", SIGHUP, true, SIGHUP},
      {"SIGTERM during a statement, SIGHUP ignored from the start", SIGTERM, true, SIGHUP},
      {"SIGTERM during a statement, read ahead", SIGTERM, true, 0, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool stops = c.signal != c.ignoredAtStart;
    int pid = -1;
    bool sent = false;
    std::optional<FrozenBackend> frozen;
    std::chrono::steady_clock::time_point sentAt;
    RunOptions options;
    options.timeoutSeconds = 40;
    if (c.ignoredAtStart != 0) options.ignoredSignals = {c.ignoredAtStart};
    options.env = {"LUMETTOOL_JOBS=" + std::to_string(c.jobs)};
    options.started = [&pid](int child) { pid = child; };
    options.onOutput = [&](const std::string& out) {
      if (sent || out != "1\n2\n") return;
      ASSERT_TRUE(sessionReaches(c.duringStatement ? "state = 'active' AND wait_event = 'PgSleep'"
                                                     : "state = 'idle'"));
      if (c.backendFrozen) {
        frozen.emplace(std::stoi(queryValue(
            admin_, "SELECT pid FROM pg_stat_activity WHERE usename = '" + roleName() + "'")));
        ASSERT_GT(frozen->pid, 0) << "cannot stop the backend";
      }
      sent = kill(pid, c.signal) == 0;
      sentAt = std::chrono::steady_clock::now();
    };
    const RunResult run =
        runQueryWith({"id", c.duringStatement ? (stops ? "nap(60, id=4)" : "nap(2, id=4)") : "none",
                      "20240101", "20240104", "1", c.duringStatement ? "0" : "2000"},
                     options);
    frozen.reset();
    EXPECT_TRUE(sent);
    EXPECT_FALSE(run.timedOut);
    if (!stops) {
      EXPECT_EQ(run.termSignal, 0);
      EXPECT_EQ(run.out, kAllRows);
      EXPECT_EQ(run.err, "");
      continue;
    }
    EXPECT_EQ(run.termSignal, c.signal);
    EXPECT_EQ(run.out, "1\n2\n");
    // Nothing of the tool's is left on the server three seconds on (the
    // server notices a client killed outright within its check interval).
    EXPECT_TRUE(sessionReaches("true", "0"));
    // A frozen backend cannot take the cancel: the tool gives up on it.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sentAt).count(),
              c.signal == SIGKILL ? 6.0 : c.backendFrozen ? static_cast<double>(kStopGrace.count()) + 3.0 : 3.0);
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

// Killed at any point, an export to its own file goes on from its
// checkpoint when the same command runs again, and ends in the file an
// uninterrupted run writes; a second run on the file while the first holds
// it stops before connecting, and the first goes on untouched.
TEST_F(ServerFaults, OwnFileAfterAKillOrASecondRun) {
  loginAsReader();
  runSql("UPDATE transaction SET note = repeat(md5(id::text), id * 50)");
  runSql("CREATE TABLE naptime (secs float8)");
  runSql("GRANT SELECT ON naptime TO " + roleName());
  std::vector<std::string> args{
      "id,note", "seen() and nap((select secs from naptime), id=4)", "20240101", "20240104", "1",
      "1500"};
  const std::string path = dir_.pathOf("out.txt");
  const std::string part = path + ".part";
  const std::string checkpoint = part + ".checkpoint";
  RunOptions ownFile;
  ownFile.env = {"LUMETTOOL_OUTPUT=" + path};
  ownFile.timeoutSeconds = 40;
  runSql("INSERT INTO naptime VALUES (0)");
  ASSERT_EQ(runQueryWith(args, ownFile).out, finalMessage(Outcome::kSuccess));
  const std::string expected = readFile(path);
  const size_t twoDays = expected.find("3|");
  ASSERT_NE(twoDays, std::string::npos);
  ASSERT_TRUE(std::filesystem::remove(path));

  enum class Moment { kStatement, kPause, kWritten };
  struct Case {
    std::string name;
    Moment moment;
    bool secondRun;  // otherwise SIGKILL
    int jobs = 1;    // LUMETTOOL_JOBS, for both runs; reading ahead, no pause
  };
  const std::vector<Case> cases{
      {"killed during the third chunk's statement", Moment::kStatement, false},
      {"killed in the pause after the second chunk", Moment::kPause, false},
      {"killed as soon as the second chunk is in the file", Moment::kWritten, false},
      {"a second run during a statement", Moment::kStatement, true},
      {"a second run in the pause", Moment::kPause, true},
      {"killed during the third chunk's statement, read ahead", Moment::kStatement, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    args.back() = c.jobs > 1 ? "0" : "1500";
    ownFile.env = {"LUMETTOOL_OUTPUT=" + path, "LUMETTOOL_JOBS=" + std::to_string(c.jobs)};
    // The third chunk sleeps: for good when killed, a while beside a second run.
    runSql(std::string("UPDATE naptime SET secs = ") + (c.secondRun ? "4" : "60"));
    (void)statementsSeen();
    bool reached = false;
    RunResult second;
    std::string sessionsBeside;
    RunOptions options = ownFile;
    options.started = [&](int pid) {
      const auto sessions = [this](const std::string& condition) {
        return queryValue(admin_, "SELECT count(*) FROM pg_stat_activity WHERE usename = '" +
                                      roleName() + "' AND " + condition);
      };
      // What the run has done, looked at every few milliseconds.
      for (int i = 0; i < 10000 && !reached; ++i) {
        std::error_code error;
        switch (c.moment) {
          case Moment::kWritten:
            reached = std::filesystem::file_size(part, error) >= twoDays && !error;
            break;
          case Moment::kPause:
            reached = readFile(checkpoint).find("\nnext 8 20240103\n") != std::string::npos &&
                      sessions("state = 'idle'") == "1";
            break;
          case Moment::kStatement:
            reached = sessions("state = 'active' AND wait_event = 'PgSleep'") == "1";
            break;
        }
        if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (!reached) return;
      if (!c.secondRun) {
        reached = kill(pid, SIGKILL) == 0;
        return;
      }
      RunOptions again = ownFile;
      again.timeoutSeconds = 10;
      second = runQueryWith(args, again);
      sessionsBeside = sessions("true");
    };
    const RunResult first = runQueryWith(args, options);
    EXPECT_TRUE(reached);
    EXPECT_FALSE(first.timedOut);
    if (c.secondRun) {
      EXPECT_EQ(second.out, finalMessage(Outcome::kOutputFileBusy));
      EXPECT_EQ(second.err, "lumettool: error: another run is writing '" + part +
                                "' (it holds its lock)\n");
      EXPECT_EQ(sessionsBeside, "1");
      EXPECT_EQ(statementsSeen(), 4);
    } else {
      EXPECT_EQ(first.termSignal, SIGKILL);
      EXPECT_FALSE(std::filesystem::exists(path));
      EXPECT_TRUE(expected.starts_with(readFile(part)));
      ASSERT_TRUE(sessionReaches("true", "0"));
      runSql("UPDATE naptime SET secs = 0");
      (void)statementsSeen();
      const RunResult resumed = runQueryWith(args, ownFile);
      EXPECT_EQ(resumed.out, finalMessage(Outcome::kSuccess));
      EXPECT_EQ(resumed.err, "");
      // Only the chunks the checkpoint did not hold ran again.
      const int statements = statementsSeen();
      EXPECT_GE(statements, 2);
      EXPECT_LE(statements, c.moment == Moment::kWritten ? 3 : 2);
    }
    if (c.secondRun) {
      EXPECT_EQ(first.out, finalMessage(Outcome::kSuccess));
      EXPECT_EQ(first.err, "");
    }
    EXPECT_EQ(readFile(path), expected);
    EXPECT_FALSE(std::filesystem::exists(part));
    EXPECT_FALSE(std::filesystem::exists(checkpoint));
    std::filesystem::remove(path);
  }
}

// A stop while a finished chunk is being written to a pipe that nobody
// reads: the write is given up a few seconds on, the chunk counts as not
// written, and the hint names exactly the bytes of the chunks before it.
TEST_F(ServerFaults, StopWhileNobodyReadsTheRows) {
  runSql("UPDATE transaction SET note = repeat('x', 200000) WHERE id = 3");
  std::array<int, 2> fds{-1, -1};
  ASSERT_EQ(pipe2(fds.data(), O_CLOEXEC), 0);
  // The pipe is full once every one of its pages holds bytes: a write of
  // more than its room then waits for a reader.
  const long page = sysconf(_SC_PAGESIZE);
  const int full = fcntl(fds[0], F_GETPIPE_SZ) - static_cast<int>(page) + 1;
  ASSERT_GT(full, 0);
  bool sent = false;
  RunOptions options;
  options.stdoutFd = fds[1];
  options.timeoutSeconds = 30;
  options.started = [&](int pid) {
    int queued = 0;
    for (int i = 0; i < 3000 && queued < full; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (ioctl(fds[0], FIONREAD, &queued) != 0) break;
    }
    sent = queued >= full && kill(pid, SIGTERM) == 0;
  };
  const RunResult run =
      runQueryWith({"id,note", "none", "20240101", "20240104", "1", "0"}, options);
  close(fds[1]);
  std::string piped(size_t{1} << 20, '\0');
  piped.resize(static_cast<size_t>(std::max<ssize_t>(read(fds[0], piped.data(), piped.size()), 0)));
  close(fds[0]);
  EXPECT_TRUE(sent);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.termSignal, SIGTERM);
  EXPECT_TRUE(piped.starts_with("1|\n2|\n")) << piped.substr(0, 20);
  EXPECT_NE(piped.find("3|xxx"), std::string::npos);
  EXPECT_NE(run.err.find("lumettool: error: stopped by SIGTERM; the rows of "
                         "2024-01-03..2024-01-03 were dropped\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("lumettool: hint: to go on, keep the first 6 bytes this run wrote to "
                         "standard output, which hold the rows up to 2024-01-02, and run again "
                         "with date-from 20240103 appending to them\n"),
            std::string::npos)
      << run.err;
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
  // The export's own file keeps the chunks before the one that failed, and
  // the same command, once the cause is gone, finishes it.
  const std::string own = dir_.pathOf("own.txt");
  RunOptions ownFile;
  ownFile.env = {"LUMETTOOL_OUTPUT=" + own};
  const RunResult failed = runQueryWith(args, ownFile);
  EXPECT_EQ(failed.out, kSqlFailed);
  EXPECT_EQ(readFile(own + ".part"), "1|n1|10\n2|n2|10\n");
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_NE(failed.err.find("lumettool: hint: to go on, run the same command again: '" + own +
                            ".part' keeps the rows up to 2024-01-02 and the export goes on from "
                            "2024-01-03\n"),
            std::string::npos)
      << failed.err;
  runSql("UPDATE transaction SET amount = 1 WHERE id = 4");
  const RunResult finished = runQueryWith(args, ownFile);
  EXPECT_EQ(finished.out, finalMessage(Outcome::kSuccess));
  EXPECT_EQ(finished.err, "");
  EXPECT_EQ(readFile(own), expected.substr(0, expected.size() - finished.out.size()));
  EXPECT_FALSE(std::filesystem::exists(own + ".part"));
  EXPECT_FALSE(std::filesystem::exists(own + ".part.checkpoint"));

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
  // The export's own file on a full disk: it is left ending at a chunk's
  // end, and the same command finishes it once there is room.
  EXPECT_EQ(unlink(file.c_str()), 0);
  EXPECT_EQ(mount("remount,size=64k"), 0);
  const std::string rows = big.substr(0, big.size() - finalMessage(Outcome::kSuccess).size());
  std::vector<size_t> chunkEnds{0};  // after rows 1, 2 and 4
  for (size_t row = 1, end = 0; row <= 4; ++row) {
    end = rows.find('\n', end) + 1;
    if (row != 3) chunkEnds.push_back(end);
  }
  const std::string onDisk = disk.pathOf("own.txt");
  RunOptions ownOnDisk;
  ownOnDisk.env = {"LUMETTOOL_OUTPUT=" + onDisk};
  const RunResult refused = runQueryWith(args, ownOnDisk);
  EXPECT_EQ(refused.out, finalMessage(Outcome::kOutputFileFailed));
  EXPECT_NE(refused.err.find("No space left on device"), std::string::npos) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(onDisk));
  const std::string kept = readFile(onDisk + ".part");
  EXPECT_NE(std::find(chunkEnds.begin(), chunkEnds.end(), kept.size()), chunkEnds.end())
      << kept.size();
  EXPECT_EQ(kept, rows.substr(0, kept.size()));
  EXPECT_EQ(mount("remount,size=4m"), 0);
  EXPECT_EQ(runQueryWith(args, ownOnDisk).out, finalMessage(Outcome::kSuccess));
  EXPECT_EQ(readFile(onDisk), rows);
  EXPECT_EQ(runProgram("/bin/umount", {disk.path}).exitStatus, 0);
}

// Logins the server refuses and statements it rejects. Each case changes the
// tool's role or the table, runs a 1-day chunked export, and undoes it.
TEST_F(ServerFaults, RefusedLoginsAndRejectedStatements) {
  loginAsReader();
  const std::string role = roleName();
  struct Case {
    std::string name, change, undo, database, fields, condition, expected;
    std::string errHas{};  // see expectStderr
    // When set, a second run with LUMETTOOL_EXIT_STATUS=on ends with this status.
    std::optional<int> statusWhenOn{};
    std::string days = "1", delayMs = "0";
  };
  const std::string unlockWarning =
      "lumettool: warning: the session's advisory locks could not be released after a chunk: "
      "ERROR:  permission denied for function pg_advisory_unlock_all (SQLSTATE 42501)\n";
  const std::string revokeUnlock = "REVOKE EXECUTE ON FUNCTION pg_advisory_unlock_all() FROM PUBLIC";
  const std::string grantUnlock = "GRANT EXECUTE ON FUNCTION pg_advisory_unlock_all() TO PUBLIC";
  const std::vector<Case> cases{
      {"baseline", "", "", "", "id", "none", "1\n2\nSuccess", "", 0},
      {"missing database", "", "", "lumet_no_such_database", "id", "none", kNoConnect,
       "cannot connect: connection to server at \"127.0.0.1\", port " + envValue("PGPORT") +
           " failed: FATAL:  database \"lumet_no_such_database\" does not exist",
       69},
      {"role without LOGIN", "ALTER ROLE " + role + " NOLOGIN", "ALTER ROLE " + role + " LOGIN", "",
       "id", "none", kNoConnect, "is not permitted to log in"},
      {"no CONNECT on the database", "REVOKE CONNECT ON DATABASE " + db_ + " FROM PUBLIC",
       "GRANT CONNECT ON DATABASE " + db_ + " TO PUBLIC", "", "id", "none", kNoConnect,
       "FATAL:  permission denied for database \"" + db_ + "\""},
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
      // the operator is told once, wherever the answer to a chunk's end is
      // read: at the next BEGIN, in the pause, or when the run disconnects.
      {"unlock not allowed", revokeUnlock, grantUnlock, "", "id", "none", "1\n2\nSuccess",
       unlockWarning},
      {"unlock not allowed, read in the pause", revokeUnlock, grantUnlock, "", "id", "none",
       "1\n2\nSuccess", unlockWarning, std::nullopt, "1", "300"},
      {"unlock not allowed, one chunk", revokeUnlock, grantUnlock, "", "id", "none",
       "1\n2\nSuccess", unlockWarning, std::nullopt, "0"},
      {"missing column in the fields", "", "", "", "id,amount", "none", kSqlFailed,
       "ERROR:  column \"amount\" does not exist (SQLSTATE 42703)", 65},
      {"missing column in the condition", "", "", "", "id", "amount>0", kSqlFailed,
       "ERROR:  column \"amount\" does not exist (SQLSTATE 42703)"},
      {"no SELECT on the table", "REVOKE SELECT ON transaction FROM " + role,
       "GRANT SELECT ON transaction TO " + role, "", "id", "none", kSqlFailed,
       "ERROR:  permission denied for table transaction (SQLSTATE 42501)"},
      {"SELECT on other columns only",
       "REVOKE SELECT ON transaction FROM " + role +
           "; GRANT SELECT (datetime) ON transaction TO " + role,
       "REVOKE SELECT (datetime) ON transaction FROM " + role +
           "; GRANT SELECT ON transaction TO " + role,
       "", "id", "none", kSqlFailed,
       "ERROR:  permission denied for table transaction (SQLSTATE 42501)"},
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
    const std::vector<std::string> args{c.fields, c.condition, "20240101", "20240102", c.days,
                                        c.delayMs};
    const RunResult run = runQuery(args);
    EXPECT_EQ(run.out, c.expected);
    EXPECT_EQ(run.exitStatus, 0);
    expectStderr(run.err, c.errHas);
    if (c.statusWhenOn) {
      const RunResult on = runQuery(args, {"LUMETTOOL_EXIT_STATUS=on"});
      EXPECT_EQ(on.out, c.expected);
      EXPECT_EQ(on.exitStatus, *c.statusWhenOn);
    }
    // None of these passes, and a warning comes once a run.
    EXPECT_EQ(run.err.find("; retry "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("warning", run.err.find("warning") + 1), std::string::npos) << run.err;
    if (!c.undo.empty()) runSql(c.undo);
  }
}

// A statement time-out set for the tool's role limits each chunk's
// statement, not the export.
TEST_F(ServerFaults, RoleStatementTimeoutEndsTheExportAtTheSlowChunk) {
  loginAsReader();
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
    expectStderr(run.err, c.errHas);
  }
}

// Output that cannot be written stops the export at once: no further chunk
// is fetched from the server, the run ends with status 1 (never a signal,
// even when the reader has gone), and the connection is closed the ordinary
// way (nothing the tool meant for its output ever reaches the server, and
// the session is not left for the server to find cut off).
TEST_F(ServerFaults, UnwritableOutputStopsTheExport) {
  loginAsReader();
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
    const int statements = statementsSeen();
    EXPECT_GE(statements, 1);
    EXPECT_LE(statements, c.maxStatements);
    // A session that sent the server anything but protocol ends in FATAL;
    // one that ended without saying goodbye counts as abandoned.
    ASSERT_TRUE(sessionReaches("true", "0"));
    EXPECT_EQ(queryValue(admin_, brokenSessions), brokenBefore);
  }
  // The same export, written out, reaches all four chunks.
  EXPECT_EQ(queryOutput({"id", "seen()", "20240101", "20240104", "1", "0"}), kAllRows);
  EXPECT_EQ(statementsSeen(), 4);
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
