// An export's chunk streamed as COPY's rows (see session.h).
#include <libpq-fe.h>

#include "db/connection.h"
#include "db/session.h"
#include "db/statement_cancel.h"
#include "db/stop_signals.h"

namespace {

void freeRow(DbSession& session) {
  PQfreemem(session.copyRow);
  session.copyRow = nullptr;
}

void setCopyRunning(DbSession& session, bool running) {
  session.copyRunning = running;
  markStatementRunning(session.cancelSlot, running);
}

// Reads the statement's end after its last row: 0 when it succeeded.
int readCopyEnd(DbSession& session, DBFailure& why) {
  setCopyRunning(session, false);
  int outcome = 0;
  while (PGresult* result = PQgetResult(session.conn)) {
    if (outcome == 0 && PQresultStatus(result) != PGRES_COMMAND_OK) {
      why = statementFailure(session, result);
      outcome = -1;
    }
    PQclear(result);
  }
  return outcome;
}

}  // namespace

int dbCopyBegin(DbSession& session, const char* sql, DBFailure& why) {
  if (beginReadOnly(session, &why) != 0) return -1;
  session.inTransaction = true;
  // A stop that came while BEGIN ran found nothing to cancel.
  if (stopSignal() != 0) return -1;
  setCopyRunning(session, true);
  PGresult* result = PQexecParams(session.conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0);
  const bool started = PQresultStatus(result) == PGRES_COPY_OUT;
  if (!started) why = statementFailure(session, result);
  PQclear(result);
  setCopyRunning(session, started);
  return started ? 0 : -1;
}

int dbCopyRow(DbSession& session, std::span<char>& row, DBFailure& why) {
  freeRow(session);
  const int length = PQgetCopyData(session.conn, &session.copyRow, 0);
  if (length > 0) {
    row = std::span<char>(session.copyRow, static_cast<size_t>(length));
    return 1;
  }
  if (length == -2) {
    // The connection failed in the middle of the rows.
    why = libpqFailure(session);
    setCopyRunning(session, false);
    return -1;
  }
  return readCopyEnd(session, why);
}

int dbCopyEnd(DbSession& session, DBFailure& why) {
  freeRow(session);
  if (session.copyRunning) {
    // The rows are no longer wanted: the server is asked to stop sending
    // them, and what it sent meanwhile is read and dropped.
    cancelSlotStatement(session.cancelSlot);
    DBFailure ignored;
    std::span<char> row;
    while (dbCopyRow(session, row, ignored) == 1) {
    }
    freeRow(session);
  }
  if (!session.inTransaction) return 0;
  session.inTransaction = false;
  if (PQstatus(session.conn) != CONNECTION_OK) {
    if (why.message.empty()) why = libpqFailure(session);
    return -1;
  }
  DBFailure ended;
  if (endReadOnly(session, &ended) == 0) return 0;
  if (why.message.empty()) why = ended;
  return -1;
}
