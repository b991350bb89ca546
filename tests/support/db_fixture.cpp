#include "tests/support/db_fixture.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tests/support/final_message.h"

std::string envValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

PGconn* connectTo(const std::string& db, const std::string& port) {
  return PQconnectdb(("hostaddr=127.0.0.1 port=" + port + " user=" + envValue("PGUSER") +
                      " password=" + envValue("PGPASSWORD") + " dbname=" + db +
                      " options='-c client_min_messages=warning'")
                         .c_str());
}

void needEnv(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (std::getenv(name) != nullptr) continue;
    if (!envValue("LUMET_FULL_ENV").empty()) {
      FAIL() << name << " is not set: scripts/test sets it up (scripts/lib/servers.sh)";
    }
    GTEST_SKIP() << name << " is not set: run under scripts/test";
  }
}

void execSql(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
      << sql << ": " << PQerrorMessage(conn);
  PQclear(result);
}

std::string queryValue(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  EXPECT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(conn);
  std::string value;
  if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0 && PQnfields(result) > 0) {
    value = PQgetvalue(result, 0, 0);
  }
  PQclear(result);
  return value;
}

void DbTest::SetUp() {
  needEnv({"PGPORT"});  // of the cluster that pg_virtualenv starts
  if (IsSkipped() || HasFatalFailure()) return;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  db_ = "lumet_" + std::string(info->name());
  for (char& c : db_)
    c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? static_cast<char>(std::tolower(c)) : '_';
  // The settings file keeps names of up to 50 bytes: the database's and the
  // role's (roleName, two bytes longer).
  db_.resize(std::min<size_t>(db_.size(), 48));
  admin_ = connectTo(envValue("PGDATABASE"));
  ASSERT_EQ(PQstatus(admin_), CONNECTION_OK) << PQerrorMessage(admin_);
  execSql(admin_, "DROP DATABASE IF EXISTS " + db_ + " WITH (FORCE)");
  execSql(admin_, "DROP ROLE IF EXISTS " + roleName());
  execSql(admin_, "CREATE DATABASE " + db_ +
                      " TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'");
  conn_ = connectTo(db_);
  ASSERT_EQ(PQstatus(conn_), CONNECTION_OK) << PQerrorMessage(conn_);
  runSql(
      "CREATE TABLE transaction (id int, datetime timestamp, note text, "
      "\"Vendor\" text, allowance int, nonempty boolean)");
  ASSERT_EQ(initSettings(envValue("PGPORT"), envValue("PGUSER"), envValue("PGPASSWORD")),
            finalMessage(Outcome::kSuccess));
}

void DbTest::TearDown() {
  if (conn_ != nullptr) PQfinish(conn_);
  if (admin_ == nullptr) return;
  execSql(admin_, "DROP DATABASE IF EXISTS " + db_ + " WITH (FORCE)");
  execSql(admin_, "DROP ROLE IF EXISTS " + roleName());
  PQfinish(admin_);
}

void DbTest::insertStamps(const std::string& values) {
  runSql("INSERT INTO transaction (id, datetime) VALUES " + values);
}

void DbTest::createRole(const std::string& attributes) {
  execSql(admin_, "CREATE ROLE " + roleName() + " LOGIN PASSWORD 'pw' " + attributes);
}

std::string DbTest::initSettings(const std::string& port, const std::string& user,
                                 const std::string& password, const std::string& db,
                                 const std::string& host) {
  RunOptions options;
  options.cwd = dir_.path;
  return runProgram(programPath("lumettool"),
                    {"db_init", host, port, user, password, db.empty() ? db_ : db}, options)
      .out;
}

RunResult DbTest::runQuery(const std::vector<std::string>& args, std::vector<std::string> env,
                           const std::string& program, const std::string& stdoutPath) {
  RunOptions options;
  options.env = std::move(env);
  options.stdoutPath = stdoutPath;
  options.timeoutSeconds = 20;
  return runQueryWith(args, std::move(options), program);
}

RunResult DbTest::runQueryWith(const std::vector<std::string>& args, RunOptions options,
                               const std::string& program) const {
  std::vector<std::string> argv{"transaction_query"};
  argv.insert(argv.end(), args.begin(), args.end());
  options.cwd = dir_.path;
  RunResult run = runProgram(programPath(program), argv, options);
  run.err = withoutLines(run.err, kSuperuserWarning);
  if (options.mergeStderr) run.out = withoutLines(run.out, kSuperuserWarning);
  // Whatever went wrong, the password is never told.
  for (const std::string& password : {envValue("PGPASSWORD"), std::string("p w'd")}) {
    EXPECT_EQ(run.err.find(password), std::string::npos) << run.err;
  }
  return run;
}

std::string DbTest::queryOutput(const std::vector<std::string>& args, std::vector<std::string> env,
                                const std::string& program) {
  const RunResult run = runQuery(args, std::move(env), program);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 0);
  // A run that succeeds says nothing on standard error.
  if (run.out.ends_with(finalMessage(Outcome::kSuccess))) {
    EXPECT_EQ(run.err, "");
  }
  return run.out;
}

void DbTest::reconnect() {
  PQreset(admin_);
  PQreset(conn_);
  ASSERT_EQ(PQstatus(admin_), CONNECTION_OK) << PQerrorMessage(admin_);
  ASSERT_EQ(PQstatus(conn_), CONNECTION_OK) << PQerrorMessage(conn_);
}

RunResult DbTest::runPsql(const std::vector<std::string>& args) const {
  RunOptions options;
  options.env = {"PGHOST=127.0.0.1", "PGDATABASE=" + db_};
  std::vector<std::string> argv{"-X"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram("/usr/bin/psql", argv, options);
}
