#include "db/session.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "db/conn_string.h"
#include "db/connection.h"
#include "db/statement_cancel.h"
#include "db/stop_signals.h"
#include "util/diagnostics.h"
#include "util/program_name.h"

namespace {

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
int runCommand(DbSession& session, const char* command, DBFailure* why) {
  markStatementRunning(session.cancelSlot, true);
  PGresult* result = PQexec(session.conn, command);
  markStatementRunning(session.cancelSlot, false);
  const ExecStatusType status = PQresultStatus(result);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) fill(why, statementFailure(session, result));
  PQclear(result);
  return ok ? 0 : -1;
}

}  // namespace

DbSession::~DbSession() { dbDisconnect(*this); }

DBFailure libpqFailure(const DbSession& session) {
  DBFailure failure;
  failure.message = trimmed(PQerrorMessage(session.conn));
  failure.connectionLost = PQstatus(session.conn) != CONNECTION_OK;
  return failure;
}

DBFailure statementFailure(const DbSession& session, const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (state == nullptr || primary == nullptr) return libpqFailure(session);
  const char* severity = PQresultErrorField(result, PG_DIAG_SEVERITY);
  DBFailure failure;
  failure.message = std::string(severity != nullptr ? severity : "ERROR") + ":  " + primary +
                    " (SQLSTATE " + state + ")";
  failure.detail = trimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL));
  failure.hint = trimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_HINT));
  failure.sqlState = state;
  failure.connectionLost = PQstatus(session.conn) != CONNECTION_OK;
  return failure;
}

int beginReadOnly(DbSession& session, DBFailure* why) {
  return runCommand(session,
                    PQserverVersion(session.conn) >= kFirstCheckingVersion ? kBeginReadOnlyChecked
                                                                           : kBeginReadOnly,
                    why);
}

int endReadOnly(DbSession& session, DBFailure* why) {
  return runCommand(session, kEndReadOnly, why);
}

int dbConnect(DbSession& session, const DbConfig& config, DBFailure* why) {
  dbDisconnect(session);
  std::array<char, kConnStringSize> conninfo{};
  if (buildConnString(config, programName(), conninfo) != 0) {
    fill(why, {"the settings do not make a connection string", "", "", "", false});
    return -1;
  }
  session.conn = PQconnectdb(conninfo.data());
  if (PQstatus(session.conn) == CONNECTION_OK) {
    PQsetNoticeProcessor(session.conn, passOnNotice, nullptr);
    session.cancelSlot = takeCancelSlot(session.conn);
    return 0;
  }
  fill(why, libpqFailure(session));
  dbDisconnect(session);
  return -1;
}

void dbDisconnect(DbSession& session) {
  PQfreemem(session.copyRow);
  session.copyRow = nullptr;
  session.copyRunning = false;
  session.inTransaction = false;
  returnCancelSlot(session.cancelSlot);
  session.cancelSlot = -1;
  PQfinish(session.conn);
  session.conn = nullptr;
}

bool dbConnectedAsSuperuser(const DbSession& session, std::string& role) {
  const char* superuser = PQparameterStatus(session.conn, "is_superuser");
  if (superuser == nullptr || std::strcmp(superuser, "on") != 0) return false;
  const char* user = PQuser(session.conn);
  role = user != nullptr ? user : "";
  return true;
}

int dbPause(DbSession& session, int delayMs, DBFailure* why) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || stopSignal() != 0) return 0;
    pollfd watched{PQsocket(session.conn), POLLIN, 0};
    if (watched.fd < 0) {
      fill(why, libpqFailure(session));
      return -1;
    }
    const int ready =
        pollUnlessStopped(&watched, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (ready < 0 && errno == EINTR) continue;
    // Whatever arrived (a notice, the server's goodbye, an error from the
    // socket) is read now; a connection that is gone fails here.
    if (ready < 0 || (ready > 0 && (PQconsumeInput(session.conn) == 0 ||
                                    PQstatus(session.conn) != CONNECTION_OK))) {
      fill(why, libpqFailure(session));
      return -1;
    }
    while (PGnotify* notify = PQnotifies(session.conn)) PQfreemem(notify);
  }
}
