// An export's chunk streamed as COPY's rows (see db_access.h).
#include <libpq-fe.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "db/stop_signals.h"

namespace {

// The row dbCopyRow handed out last, libpq's to free.
char* copyRow = nullptr;
// True from dbCopyBegin until dbCopyRow has read the statement's end.
bool copyRunning = false;
// True from a successful BEGIN until dbCopyEnd.
bool inTransaction = false;

void freeRow() {
  PQfreemem(copyRow);
  copyRow = nullptr;
}

// Reads the statement's end after its last row: 0 when it succeeded.
int readCopyEnd(DBFailure& why) {
  copyRunning = false;
  PGconn* conn = currentConnection();
  int outcome = 0;
  while (PGresult* result = PQgetResult(conn)) {
    if (outcome == 0 && PQresultStatus(result) != PGRES_COMMAND_OK) {
      why = statementFailure(result);
      outcome = -1;
    }
    PQclear(result);
  }
  return outcome;
}

}  // namespace

int dbCopyBegin(const char* sql, DBFailure& why) {
  if (beginReadOnly(&why) != 0) return -1;
  inTransaction = true;
  // A stop that came while BEGIN ran found nothing to cancel.
  if (stopSignal() != 0) return -1;
  PGresult* result =
      PQexecParams(currentConnection(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0);
  const bool started = PQresultStatus(result) == PGRES_COPY_OUT;
  if (!started) why = statementFailure(result);
  PQclear(result);
  copyRunning = started;
  return started ? 0 : -1;
}

int dbCopyRow(std::span<char>& row, DBFailure& why) {
  freeRow();
  const int length = PQgetCopyData(currentConnection(), &copyRow, 0);
  if (length > 0) {
    row = std::span<char>(copyRow, static_cast<size_t>(length));
    return 1;
  }
  if (length == -2) {
    // The connection failed in the middle of the rows.
    why = libpqFailure();
    copyRunning = false;
    return -1;
  }
  return readCopyEnd(why);
}

int dbCopyEnd(DBFailure& why) {
  freeRow();
  PGconn* conn = currentConnection();
  if (copyRunning) {
    // The rows are no longer wanted: the server is asked to stop sending
    // them, and what it sent meanwhile is read and dropped.
    cancelStatement();
    DBFailure ignored;
    std::span<char> row;
    while (dbCopyRow(row, ignored) == 1) {
    }
    freeRow();
  }
  if (!inTransaction) return 0;
  inTransaction = false;
  if (PQstatus(conn) != CONNECTION_OK) {
    if (why.message.empty()) why = libpqFailure();
    return -1;
  }
  DBFailure ended;
  if (endReadOnly(&ended) == 0) return 0;
  if (why.message.empty()) why = ended;
  return -1;
}
