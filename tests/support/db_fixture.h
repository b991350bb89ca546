// The fixture of the tests against a real PostgreSQL server: each test gets a
// database of its own holding a fresh `transaction` table, writes the
// settings file with a real `db_init` run and runs the programs as processes.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

// Value of an environment variable, "" when unset.
std::string envValue(const char* name);

// Connects to database `db` of the test server (or of the server on `port`
// of 127.0.0.1) as the environment's user.
PGconn* connectTo(const std::string& db, const std::string& port = envValue("PGPORT"));

// Checks that every variable in `names` is set: scripts/test sets them up
// (scripts/lib/servers.sh) and exports LUMET_FULL_ENV=1, so a missing one
// fails the test there; elsewhere (ctest alone) the test is skipped. Callers
// return when IsSkipped() or HasFatalFailure().
void needEnv(std::initializer_list<const char*> names);

// Runs one statement that must succeed.
void execSql(PGconn* conn, const std::string& sql);

// The first value of a statement's result ("" when there is none).
std::string queryValue(PGconn* conn, const std::string& sql);

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs a statement in the test's database.
  void runSql(const std::string& sql) { execSql(conn_, sql); }

  // Rows given as "(id, 'datetime')" lists, the other columns NULL.
  void insertStamps(const std::string& values);

  // A login role named `roleName()` with password "pw" and `attributes` added.
  void createRole(const std::string& attributes = "");
  std::string roleName() const { return db_ + "_r"; }

  // Writes the settings file with `db_init`; an empty `db` means the test's
  // database. Returns the program's message.
  std::string initSettings(const std::string& port, const std::string& user,
                           const std::string& password, const std::string& db = "",
                           const std::string& host = "127.0.0.1");

  // One transaction_query run; `args` follow the command word.
  RunResult runQuery(const std::vector<std::string>& args, std::vector<std::string> env = {},
                     const std::string& program = "lumettool", const std::string& stdoutPath = "");
  // The same with every run option given (the run time-out among them); the
  // directory is filled in.
  RunResult runQueryWith(const std::vector<std::string>& args, RunOptions options,
                         const std::string& program = "lumettool") const;

  // The output of a run that is expected to end normally.
  std::string queryOutput(const std::vector<std::string>& args, std::vector<std::string> env = {},
                          const std::string& program = "lumettool");

  // Runs psql -X with `args` on the test's database, the way the tool
  // connects (TCP to 127.0.0.1).
  RunResult runPsql(const std::vector<std::string>& args) const;

  // Opens the test's two connections again, after the server went away.
  void reconnect();

  TempDir dir_;
  std::string db_;
  PGconn* admin_ = nullptr;  // to the environment's database
  PGconn* conn_ = nullptr;   // to the test's database
};
