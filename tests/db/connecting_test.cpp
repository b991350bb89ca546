// Connecting the way operators do: TLS with certificate checks, a hot standby
// that libpq's multi-host settings choose, a pooler in transaction mode, the
// application name the server sees, and a network that dies without a word.
// The servers and networks come from scripts/lib/servers.sh (see needEnv).
#include <libpq-fe.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/conn_string.h"
#include "tests/support/db_fixture.h"
#include "tests/support/expect_stderr.h"
#include "tests/support/final_message.h"

namespace {

const std::string kSqlFailed = finalMessage(Outcome::kInvalidSql);
const std::string kNoConnect = finalMessage(Outcome::kCannotConnect);

// Waits, at most `seconds`, until `sql` gives "t" on `conn`.
bool becomesTrue(PGconn* conn, const std::string& sql, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (queryValue(conn, sql) == "t") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

class Connecting : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    insertStamps("(1, '2024-01-01 09:00'), (2, '2024-01-02 09:00')");
  }

  // One export of the 2024-01-01 row with `fields`.
  RunResult oneDay(const std::string& fields, const std::vector<std::string>& env) {
    return runQuery({fields, "none", "20240101", "20240101", "0", "0"}, env);
  }
};

// TLS is set up in libpq's environment. The address stays the settings
// file's; PGHOST is only the name the server's certificate must carry.
TEST_F(Connecting, TlsFromTheEnvironment) {
  needEnv({"LUMET_TLS_CA", "LUMET_TLS_OTHER_CA", "LUMET_TLS_NAME", "LUMET_TLS_CLIENT_CERT",
           "LUMET_TLS_CLIENT_KEY", "LUMET_TLS_CLIENT_ROLE"});
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string ca = "PGSSLROOTCERT=" + envValue("LUMET_TLS_CA");
  const std::string otherCa = "PGSSLROOTCERT=" + envValue("LUMET_TLS_OTHER_CA");
  const std::string name = "PGHOST=" + envValue("LUMET_TLS_NAME");
  const std::string wrongName = "PGHOST=other.lumettool.test";
  const std::string cert = "PGSSLCERT=" + envValue("LUMET_TLS_CLIENT_CERT");
  const std::string key = "PGSSLKEY=" + envValue("LUMET_TLS_CLIENT_KEY");
  // The role of the client certificate has no password: pg_hba lets it in
  // with the certificate alone.
  const std::string certRole = envValue("LUMET_TLS_CLIENT_ROLE");
  const std::string encrypted = "t\nSuccess";
  struct Case {
    std::string name, role;
    std::vector<std::string> env;
    std::string expected;
    std::string errHas{};  // see expectStderr
  };
  const std::vector<Case> cases{
      {"default", "", {}, encrypted},
      {"sslmode disable", "", {"PGSSLMODE=disable"}, "f\nSuccess"},
      {"verify-full, right CA and name", "", {"PGSSLMODE=verify-full", ca, name}, encrypted},
      {"verify-full, another CA", "", {"PGSSLMODE=verify-full", otherCa, name}, kNoConnect,
       "certificate verify failed"},
      {"verify-full, wrong name", "", {"PGSSLMODE=verify-full", ca, wrongName}, kNoConnect,
       "server certificate for \"" + envValue("LUMET_TLS_NAME") +
           "\" does not match host name \"other.lumettool.test\""},
      {"verify-ca does not check the name", "", {"PGSSLMODE=verify-ca", ca, wrongName}, encrypted},
      {"client certificate, empty password field", certRole,
       {"PGSSLMODE=verify-full", ca, name, cert, key}, encrypted},
      {"certificate role without its certificate", certRole, {"PGSSLMODE=verify-full", ca, name},
       kNoConnect, "FATAL:  connection requires a valid client certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool usual = c.role.empty();
    ASSERT_EQ(initSettings(envValue("PGPORT"), usual ? envValue("PGUSER") : c.role,
                           usual ? envValue("PGPASSWORD") : ""),
              finalMessage(Outcome::kSuccess));
    const RunResult run = oneDay("(select ssl from pg_stat_ssl where pid=pg_backend_pid())", c.env);
    EXPECT_EQ(run.out, c.expected);
    expectStderr(run.err, c.errHas);
  }
}

// $LUMET_STANDBY_CTL start|stop; true when it succeeded.
bool controlStandby(const std::string& action) {
  RunOptions options;
  options.timeoutSeconds = 90;
  return runProgram("/bin/bash", {envValue("LUMET_STANDBY_CTL"), action}, options).exitStatus == 0;
}

// Starts the standby again when a test stopped it: later tests share it.
struct StandbyKeptRunning {
  bool stopped = false;
  ~StandbyKeptRunning() {
    if (stopped) {
      EXPECT_TRUE(controlStandby("start"));
    }
  }
};

// Host and port fields left empty: libpq's host list and the target session
// attributes of the environment choose between the primary and its standby.
TEST_F(Connecting, StandbyChosenFromTheEnvironment) {
  needEnv({"LUMET_STANDBY_PORT", "LUMET_STANDBY_CTL"});
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string standbyPort = envValue("LUMET_STANDBY_PORT");
  const std::string lsn = queryValue(admin_, "SELECT pg_current_wal_lsn()");
  PGconn* standby = connectTo(envValue("PGDATABASE"), standbyPort);
  ASSERT_EQ(PQstatus(standby), CONNECTION_OK) << PQerrorMessage(standby);
  const bool replayed =
      becomesTrue(standby, "SELECT pg_last_wal_replay_lsn() >= '" + lsn + "'", 30);
  PQfinish(standby);
  ASSERT_TRUE(replayed) << "the standby did not replay the test's rows";
  ASSERT_EQ(initSettings("", envValue("PGUSER"), envValue("PGPASSWORD"), "", ""),
            finalMessage(Outcome::kSuccess));
  struct Case {
    std::string name, targetSessionAttrs;
    bool standbyUp;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"prefer-standby", "prefer-standby", true, "1|t\n2|t\nSuccess"},
      {"read-write", "read-write", true, "1|f\n2|f\nSuccess"},
      {"prefer-standby with the standby stopped", "prefer-standby", false, "1|f\n2|f\nSuccess"},
  };
  StandbyKeptRunning guard;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.standbyUp && !guard.stopped) {
      ASSERT_TRUE(controlStandby("stop"));
      guard.stopped = true;
    }
    // The primary comes first in the list.
    EXPECT_EQ(queryOutput(
                  {"id,pg_is_in_recovery()", "none", "20240101", "20240102", "1", "0"},
                  {"PGHOST=127.0.0.1,127.0.0.1", "PGPORT=" + envValue("PGPORT") + "," + standbyPort,
                   "PGTARGETSESSIONATTRS=" + c.targetSessionAttrs}),
              c.expected);
  }
}

// Through PgBouncer in transaction mode with one server connection: the
// chunks of two exports take turns on it, and the export still never writes.
TEST_F(Connecting, PoolerInTransactionMode) {
  needEnv({"LUMET_POOLER_PORT"});
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string port = envValue("LUMET_POOLER_PORT");
  insertStamps("(3, '2024-01-03 09:00'), (4, '2024-01-04 09:00')");
  runSql("CREATE SEQUENCE s");
  ASSERT_EQ(initSettings(port, envValue("PGUSER"), envValue("PGPASSWORD")),
            finalMessage(Outcome::kSuccess));
  // The pool's one server connection, opened for this database and role.
  PGconn* pooled = PQconnectdb(("hostaddr=127.0.0.1 port=" + port + " user=" + envValue("PGUSER") +
                                " password=" + envValue("PGPASSWORD") + " dbname=" + db_)
                                   .c_str());
  ASSERT_EQ(PQstatus(pooled), CONNECTION_OK) << PQerrorMessage(pooled);
  const std::string pid = queryValue(pooled, "SELECT pg_backend_pid()");
  PQfinish(pooled);

  std::vector<RunJob> jobs;
  for (const std::string condition : {"none", "id<>3"}) {
    RunJob job{
        programPath("lumettool"),
        {"transaction_query", "id,pg_backend_pid()", condition, "20240101", "20240104", "1", "300"},
        {}};
    job.options.cwd = dir_.path;
    job.options.timeoutSeconds = 30;
    jobs.push_back(job);
  }
  const std::vector<RunResult> runs = runAll(jobs, 2);
  const std::string tail = "|" + pid + "\n";
  EXPECT_EQ(runs[0].out,
            "1" + tail + "2" + tail + "3" + tail + "4" + tail + finalMessage(Outcome::kSuccess));
  EXPECT_EQ(runs[1].out, "1" + tail + "2" + tail + "4" + tail + finalMessage(Outcome::kSuccess));

  const std::string checksum =
      "SELECT coalesce(md5(string_agg(t::text, ',' ORDER BY t::text)), 'none') || "
      "(SELECT last_value || '/' || is_called FROM s) FROM transaction t";
  struct Case {
    std::string name, fields, condition, expected, errHas;
  };
  const std::string nextval =
      "failed: ERROR:  cannot execute nextval() in a read-only transaction (SQLSTATE 25006)";
  const std::vector<Case> cases{
      {"nextval", "id", "nextval('s')>0", kSqlFailed,
       "the statement for 2024-01-01..2024-01-01 " + nextval},
      {"set_config in chunk 1, nextval in chunk 2", "id",
       "case when id=1 then set_config('default_transaction_read_only','off',false)='off' "
       "else nextval('s')>0 end",
       "1\n" + kSqlFailed, "the statement for 2024-01-02..2024-01-02 " + nextval},
      {"DELETE stacked in the condition", "id",
       "1=1) and 1=0; delete from transaction where id<10; select 1 from transaction where (1=1",
       kSqlFailed, "error: the condition closes a bracket it did not open"},
      {"DELETE stacked in the field list",
       "id from transaction; delete from transaction where id<20; select id", "none", kSqlFailed,
       "error: the field list holds the word from, which ends a select list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = queryValue(conn_, checksum);
    const RunResult run = runQuery({c.fields, c.condition, "20240101", "20240102", "1", "0"});
    EXPECT_EQ(run.out, c.expected);
    expectStderr(run.err, c.errHas);
    EXPECT_EQ(queryValue(conn_, checksum), before);
  }
  // A session lock that the condition takes goes with the export, although
  // the pooler keeps the server connection it was taken on.
  // Quoted: the translation would split "advisory" at its "or".
  EXPECT_EQ(queryOutput({"id", "\"pg_advisory_lock\"(42) is not null", "20240101", "20240102",
                         "1", "0"}),
            "1\n2\nSuccess");
  // Only this database's: other tests run beside this one.
  EXPECT_EQ(queryValue(conn_, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND "
                              "database = (SELECT oid FROM pg_database "
                              "WHERE datname = current_database())"),
            "0");
}

// The server sees the edition's name unless PGAPPNAME says otherwise.
TEST_F(Connecting, ApplicationNameNamesTheTool) {
  struct Case {
    std::string program;
    std::vector<std::string> env;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"lumettool", {}, "lumettool\nSuccess"},
      {"lumettool-2.0", {}, "lumettool-2.0\nSuccess"},
      {"lumettool", {"PGAPPNAME=custom"}, "custom\nSuccess"},
      {"lumettool-2.0", {"PGAPPNAME=custom"}, "custom\nSuccess"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + (c.env.empty() ? "" : " " + c.env[0]));
    std::vector<std::string> args{"current_setting('application_name')", "none", "20240101",
                                  "20240101", "0", "0"};
    if (c.program == "lumettool-2.0") args.erase(args.begin() + 1);
    EXPECT_EQ(queryOutput(args, c.env, c.program), c.expected);
  }
}

// `ip -n <server namespace> link set <link> up|down`: down drops every packet
// of the link without a FIN or RST reaching either side.
bool setLink(const std::string& state) {
  RunOptions options;
  options.timeoutSeconds = 10;
  return runProgram(envValue("LUMET_NET_IP"),
                    {"-n", envValue("LUMET_NET_SERVER_NS"), "link", "set",
                     envValue("LUMET_NET_LINK"), state},
                    options)
             .exitStatus == 0;
}

// Brings the link up again however a case ended.
struct LinkRestored {
  ~LinkRestored() { EXPECT_TRUE(setLink("up")); }
};

// A server in a network namespace of its own, which the tool, run in another
// one, reaches over a veth pair (192.0.2.1 from 192.0.2.2). The test reaches
// it through its Unix socket, which no cut of the link touches.
class ConnectingNetwork : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    needEnv({"LUMET_NET_IP", "LUMET_NET_CLIENT_NS", "LUMET_NET_SERVER_NS", "LUMET_NET_LINK",
             "LUMET_NET_ADDR", "LUMET_NET_PORT", "LUMET_NET_SOCKET", "LUMET_NET_USER",
             "LUMET_NET_PASSWORD"});
    if (IsSkipped() || HasFatalFailure()) return;
    net_ = PQconnectdb(("host=" + envValue("LUMET_NET_SOCKET") + " port=" +
                        envValue("LUMET_NET_PORT") + " user=" + envValue("LUMET_NET_USER") +
                        " dbname=postgres options='-c client_min_messages=warning'")
                           .c_str());
    ASSERT_EQ(PQstatus(net_), CONNECTION_OK) << PQerrorMessage(net_);
    execSql(net_, "DROP TABLE IF EXISTS transaction");
    execSql(net_, "CREATE TABLE transaction (id int, datetime timestamp)");
    execSql(net_,
            "INSERT INTO transaction VALUES (1, '2024-01-01 09:00'), (2, '2024-01-02 09:00')");
    execSql(net_,
            "CREATE OR REPLACE FUNCTION nap(secs float8, chosen boolean) RETURNS boolean "
            "LANGUAGE plpgsql AS $$BEGIN IF chosen THEN PERFORM pg_sleep(secs); END IF; "
            "RETURN true; END$$");
    ASSERT_EQ(initSettings(envValue("LUMET_NET_PORT"), envValue("LUMET_NET_USER"),
                           envValue("LUMET_NET_PASSWORD"), "postgres", envValue("LUMET_NET_ADDR")),
              finalMessage(Outcome::kSuccess));
  }

  void TearDown() override {
    if (net_ != nullptr) PQfinish(net_);
    DbTest::TearDown();
  }

  // transaction_query run inside the tool's namespace.
  RunResult queryOverTheLink(const std::vector<std::string>& args, RunOptions options) const {
    std::vector<std::string> argv{"netns", "exec", envValue("LUMET_NET_CLIENT_NS"),
                                  programPath("lumettool"), "transaction_query"};
    argv.insert(argv.end(), args.begin(), args.end());
    options.cwd = dir_.path;
    return runProgram(envValue("LUMET_NET_IP"), argv, options);
  }

  PGconn* net_ = nullptr;
};

// The link goes down at a chosen point of an export: the export ends with
// the finished chunks' rows and the usual message within 60 seconds of the
// cut. A statement the server works on for longer than the tool gives a
// silent peer (kSilentPeerSeconds) succeeds on a healthy link. Slow (about
// a minute and a half of waiting on those timers).
TEST_F(ConnectingNetwork, DeadLinkEndsTheExportWithinAMinute) {
  enum class Cut { kNever, kBeforeConnecting, kInThePause, kDuringAStatement };
  struct Case {
    std::string name;
    Cut cut;
    std::string condition, delayMs, expected;
    double boundSeconds;  // from the cut to the end of the run
    std::string errHas;   // see expectStderr
  };
  const std::vector<Case> cases{
      {"link down in a 5-minute pause", Cut::kInThePause, "none", "300000", "1\n" + kSqlFailed,
       60, "lumettool: error: the connection was lost after 2024-01-01: "},
      {"link down while the server works on a statement", Cut::kDuringAStatement,
       "nap(200, id=2)", "0", "1\n" + kSqlFailed, 60,
       "lumettool: error: the statement for 2024-01-02..2024-01-02 failed: "},
      {"statement past the silent-peer time on a healthy link", Cut::kNever,
       "nap(" + std::to_string(kSilentPeerSeconds + 5) + ", id=2)", "0", "1\n2\nSuccess", 0, ""},
      // The five-second connect time-out, with room for a loaded machine.
      {"link down before connecting", Cut::kBeforeConnecting, "none", "0", kNoConnect, 20,
       "lumettool: error: cannot connect: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LinkRestored guard;
    std::optional<std::chrono::steady_clock::time_point> cutAt;
    if (c.cut == Cut::kBeforeConnecting) {
      ASSERT_TRUE(setLink("down"));
      cutAt = std::chrono::steady_clock::now();
    }
    RunOptions options;
    options.timeoutSeconds = 150;
    options.onOutput = [&](const std::string& out) {
      if (cutAt || out != "1\n" || c.cut == Cut::kNever) return;
      // The second chunk's statement is asleep on the server.
      if (c.cut == Cut::kDuringAStatement &&
          !becomesTrue(net_,
                         "SELECT count(*) = 1 FROM pg_stat_activity WHERE wait_event = 'PgSleep'",
                         15)) {
        ADD_FAILURE() << "the second chunk's statement never ran";
        return;
      }
      EXPECT_TRUE(setLink("down"));
      cutAt = std::chrono::steady_clock::now();
    };
    const RunResult run =
        queryOverTheLink({"id", c.condition, "20240101", "20240102", "1", c.delayMs}, options);
    const auto endedAt = std::chrono::steady_clock::now();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.termSignal, 0);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, c.expected);
    expectStderr(withoutLines(run.err, kSuperuserWarning), c.errHas);
    if (c.cut == Cut::kNever) {
      std::cout << "[ MEASURED ] " << c.name << ": " << run.seconds << " s\n";
    } else {
      ASSERT_TRUE(cutAt.has_value()) << "the link was never cut";
      const double seconds = std::chrono::duration<double>(endedAt - *cutAt).count();
      std::cout << "[ MEASURED ] " << c.name << ": the export ended " << seconds
                << " s after the cut\n"
                << run.err;
      EXPECT_LT(seconds, c.boundSeconds);
    }
    // The server still holds the sessions whose peer vanished.
    execSql(net_,
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
            "WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()");
  }
}

}  // namespace
