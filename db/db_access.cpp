#include "db/db_access.h"

#include <libpq-fe.h>
#include <malloc.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "db/conn_string.h"
#include "db/connection.h"
#include "db/stop_signals.h"
#include "util/diagnostics.h"
#include "util/program_name.h"

namespace {

PGconn* dbConn = nullptr;

// libpq's text without the newline it ends with.
std::string trimmed(const char* text) {
  std::string kept = text != nullptr ? text : "";
  while (!kept.empty() && (kept.back() == '\n' || kept.back() == ' ')) kept.pop_back();
  return kept;
}

void fill(DBFailure* why, DBFailure failure) {
  if (why != nullptr) *why = std::move(failure);
}

// Server notices (a function's RAISE NOTICE, a warning) go to standard
// error under the program's name, like the program's own lines.
void passOnNotice(void* /*arg*/, const char* message) { tellServer(message); }

// Opens a transaction that nothing in it can make writable: a statement
// cannot switch a READ ONLY transaction to read-write once it has begun, and
// the session default it might change applies to later transactions only,
// each of which begins here READ ONLY again. Quoted text is read the standard
// way (backslashes are plain characters outside E'...'), whatever the
// server's default, so that the server reads the statement as the tool did.
constexpr const char* kBeginReadOnly =
    "BEGIN TRANSACTION READ ONLY; SET LOCAL standard_conforming_strings TO on";

// From PostgreSQL 14 on the server also checks, while a statement runs,
// that the client is still there, and ends the statement of a tool that was
// killed outright within about this long, instead of running it to its end.
// SET LOCAL, so that a pooled server connection keeps nothing of it.
constexpr const char* kBeginReadOnlyChecked =
    "BEGIN TRANSACTION READ ONLY; SET LOCAL standard_conforming_strings TO on; "
    "SET LOCAL client_connection_check_interval TO 2000";
constexpr int kFirstCheckingVersion = 140000;

// Ends that transaction. An export has nothing to keep, and READ ONLY does
// not stop everything (PostgreSQL 15 lets lo_create write in it): rolled
// back, whatever a function managed to write is gone again. A session's
// advisory locks outlive the rollback; behind a pooler that keeps the
// server connection they would outlive the tool too, so they go in the same
// round trip, on the same server connection.
constexpr const char* kEndReadOnly = "ROLLBACK; SELECT pg_advisory_unlock_all()";

// Runs BEGIN or the end of the transaction; 0 when the server accepted all
// of it (the last result of the end is the unlock's row).
int runCommand(const char* command, DBFailure* why) {
  PGresult* result = PQexec(dbConn, command);
  const ExecStatusType status = PQresultStatus(result);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) fill(why, statementFailure(result));
  PQclear(result);
  return ok ? 0 : -1;
}

// Runs the statement into the holder; the caller has handled BEGIN. The
// statement goes through the extended protocol, in which the server refuses
// a text that holds more than one statement.
int runStatement(const char* sql, std::span<const char* const> params, DBData& data,
                 DBFailure* why) {
  std::string statement = sql;
  if (statement.back() != ';') statement += ';';
  data.pResult = PQexecParams(dbConn, statement.c_str(), static_cast<int>(params.size()), nullptr,
                              params.data(), nullptr, nullptr, 0);
  int outcome = 0;
  switch (PQresultStatus(data.pResult)) {
    case PGRES_TUPLES_OK:
      data.inRowCount = PQntuples(data.pResult);
      data.inColCount = PQnfields(data.pResult);
      if (data.inRowCount > 0) return 0;
      break;
    case PGRES_EMPTY_QUERY:
    case PGRES_COMMAND_OK:
      break;
    default:
      fill(why, statementFailure(data.pResult));
      outcome = -1;
      break;
  }
  vdDBClearData(data);
  return outcome;
}

}  // namespace

PGconn* currentConnection() { return dbConn; }

DBFailure libpqFailure() {
  DBFailure failure;
  failure.message = trimmed(PQerrorMessage(dbConn));
  failure.connectionLost = PQstatus(dbConn) != CONNECTION_OK;
  return failure;
}

DBFailure statementFailure(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (state == nullptr || primary == nullptr) return libpqFailure();
  const char* severity = PQresultErrorField(result, PG_DIAG_SEVERITY);
  DBFailure failure;
  failure.message = std::string(severity != nullptr ? severity : "ERROR") + ":  " + primary +
                    " (SQLSTATE " + state + ")";
  failure.detail = trimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL));
  failure.hint = trimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_HINT));
  failure.sqlState = state;
  failure.connectionLost = PQstatus(dbConn) != CONNECTION_OK;
  return failure;
}

int beginReadOnly(DBFailure* why) {
  return runCommand(PQserverVersion(dbConn) >= kFirstCheckingVersion ? kBeginReadOnlyChecked
                                                                     : kBeginReadOnly,
                    why);
}

int endReadOnly(DBFailure* why) { return runCommand(kEndReadOnly, why); }

void keepReleasedMemory() { mallopt(M_TRIM_THRESHOLD, -1); }

int inDBConnect(const DbConfig& config, DBFailure* why) {
  std::array<char, kConnStringSize> conninfo{};
  if (buildConnString(config, programName(), conninfo) != 0) {
    fill(why, {"the settings do not make a connection string", "", "", "", false});
    return -1;
  }
  dbConn = PQconnectdb(conninfo.data());
  if (PQstatus(dbConn) == CONNECTION_OK) {
    PQsetNoticeProcessor(dbConn, passOnNotice, nullptr);
    armStatementCancel();
    return 0;
  }
  fill(why, libpqFailure());
  vdDBDisconnect();
  return -1;
}

bool dbConnectedAsSuperuser(std::string& role) {
  const char* superuser = PQparameterStatus(dbConn, "is_superuser");
  if (superuser == nullptr || std::strcmp(superuser, "on") != 0) return false;
  const char* user = PQuser(dbConn);
  role = user != nullptr ? user : "";
  return true;
}

void vdDBDisconnect() {
  forgetStatementCancel();
  PQfinish(dbConn);
  dbConn = nullptr;
}

int inDBQuery(const char* pszSql, bool boTransaction, DBData& data,
              std::span<const char* const> params, DBFailure* why) {
  if (pszSql == nullptr || pszSql[0] == '\0') return -1;
  if (boTransaction && beginReadOnly(why) != 0) return -1;
  int outcome = runStatement(pszSql, params, data, why);
  // The end's failure is not told over the statement's.
  if (boTransaction && endReadOnly(outcome == 0 ? why : nullptr) != 0) outcome = -1;
  return outcome;
}

int inDBPause(int inDelayMs, DBFailure* why) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(inDelayMs, 0));
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || stopSignal() != 0) return 0;
    pollfd watched{PQsocket(dbConn), POLLIN, 0};
    if (watched.fd < 0) {
      fill(why, libpqFailure());
      return -1;
    }
    const int ready =
        pollUnlessStopped(&watched, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (ready < 0 && errno == EINTR) continue;
    // Whatever arrived (a notice, the server's goodbye, an error from the
    // socket) is read now; a connection that is gone fails here.
    if (ready < 0 ||
        (ready > 0 && (PQconsumeInput(dbConn) == 0 || PQstatus(dbConn) != CONNECTION_OK))) {
      fill(why, libpqFailure());
      return -1;
    }
    while (PGnotify* notify = PQnotifies(dbConn)) PQfreemem(notify);
  }
}

void vdDBGetData(int inRow, int inCol, DBData& data) {
  if (data.pResult != nullptr && inRow >= 0 && inRow < data.inRowCount && inCol >= 0 &&
      inCol < data.inColCount) {
    data.pszValue = PQgetvalue(data.pResult, inRow, inCol);
    data.inValueLen = PQgetlength(data.pResult, inRow, inCol);
  } else {
    data.pszValue = nullptr;
    data.inValueLen = 0;
  }
}

void vdDBClearData(DBData& data) {
  data.inRowCount = 0;
  data.inColCount = 0;
  PQclear(data.pResult);
  data.pResult = nullptr;
}
