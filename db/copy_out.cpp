// An export's chunk streamed as COPY's rows (see session.h). Every wait for
// the server is one that a stop signal ends, or bounds once it has come.
#include <libpq-fe.h>

#include "db/connection.h"
#include "db/session.h"
#include "db/statement_cancel.h"
#include "util/stop_signals.h"

namespace {

int nextRow(DbSession& session, std::span<char>& row, DBFailure& why, StopWait mode);

void freeRow(DbSession& session) {
  PQfreemem(session.copyRow);
  session.copyRow = nullptr;
}

void setCopyRunning(DbSession& session, bool running) {
  session.copyRunning = running;
  if (!running) session.copyRowsCome = false;
  markStatementRunning(session.cancelSlot, running);
}

// Reads and drops what is left of a statement that is no longer wanted,
// waiting a bounded time once a stop signal has come. False when the
// server did not answer in time and the connection was closed (why in
// `why`).
bool dropRest(DbSession& session, DBFailure& why) {
  DBFailure ignored;
  if (!session.copyRowsCome) {
    bool started = false;
    (void)readResults(session, ignored, StopWait::kBounded, started);
    session.copyRowsCome = started;
  }
  std::span<char> row;
  while (session.copyRowsCome && session.conn != nullptr &&
         nextRow(session, row, ignored, StopWait::kBounded) == 1) {
  }
  freeRow(session);
  if (session.conn != nullptr) return true;
  why = ignored;
  return false;
}

DBFailure stoppedFailure() {
  return {"stopped by a signal before the statement's end", "", "", "", false};
}

// The next row, waiting as `mode` says. Returns 1 with a row, 0 after the
// statement's end once it succeeded, -1 when it failed or the wait ended.
int nextRow(DbSession& session, std::span<char>& row, DBFailure& why, StopWait mode) {
  freeRow(session);
  bool lostOnce = false;
  for (;;) {
    const int length = PQgetCopyData(session.conn, &session.copyRow, 1);
    if (length > 0) {
      row = std::span<char>(session.copyRow, static_cast<size_t>(length));
      return 1;
    }
    if (length == 0) {
      const int waited = waitForServer(session, why, mode);
      if (waited == 1) why = stoppedFailure();
      // A lost connection may still have the server's last words to read:
      // COPY's rows then end, and the statement's failure follows.
      if (waited == -1 && session.conn != nullptr && !lostOnce) {
        lostOnce = true;
        continue;
      }
      if (waited < 0) setCopyRunning(session, false);
      if (waited != 0) return -1;
      continue;
    }
    if (length == -2) {
      // The connection failed in the middle of the rows.
      why = libpqFailure(session);
      setCopyRunning(session, false);
      return -1;
    }
    // The rows are over: the statement's own end follows.
    setCopyRunning(session, false);
    bool copyStarted = false;
    const int read = readResults(session, why, mode, copyStarted);
    session.copySucceeded = read == 0;
    return read;
  }
}

}  // namespace

int dbCopyBegin(DbSession& session, const char* sql, DBFailure& why) {
  session.copySucceeded = false;
  if (beginReadOnly(session, &why) != 0) return -1;
  session.inTransaction = true;
  // A stop that came while BEGIN ran: the statement is not started.
  if (stopSignal() != 0) {
    why = stoppedFailure();
    return -1;
  }
  if (PQsendQueryParams(session.conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) == 0) {
    why = libpqFailure(session);
    return -1;
  }
  // Until its answer is in, the statement may be running: dbCopyEnd
  // cancels it then.
  setCopyRunning(session, true);
  bool started = false;
  const int read = readResults(session, why, StopWait::kReturn, started);
  session.copyRowsCome = started;
  if (read == 0 && started) return 0;
  if (read == 0) why = {"the statement sent no rows", "", "", "", false};
  if (session.conn == nullptr || PQisBusy(session.conn) == 0) setCopyRunning(session, false);
  if (stopSignal() != 0 && why.message.empty()) why = stoppedFailure();
  return -1;
}

int dbCopyRow(DbSession& session, std::span<char>& row, DBFailure& why) {
  return nextRow(session, row, why, StopWait::kReturn);
}

int dbCopyEnd(DbSession& session, DBFailure& why) {
  freeRow(session);
  if (session.copyRunning && session.conn != nullptr) {
    // The rows are no longer wanted: the server is asked to stop sending
    // them (after a stop signal, without waiting for the request to
    // arrive), and what it sent meanwhile is read and dropped.
    if (stopSignal() == 0) cancelSlotStatement(session.cancelSlot);
    DBFailure unanswered;
    if (!dropRest(session, unanswered) && why.message.empty()) why = unanswered;
  }
  setCopyRunning(session, false);
  if (!session.inTransaction) return 0;
  session.inTransaction = false;
  if (session.conn == nullptr || PQstatus(session.conn) != CONNECTION_OK) {
    if (why.message.empty()) why = libpqFailure(session);
    // The server's last words (a FATAL) came before the connection went.
    why.connectionLost = true;
    return -1;
  }
  DBFailure ended;
  // All the rows are in: the end's answer is not waited for here.
  if (session.copySucceeded ? sendEndReadOnly(session, &ended) == 0
                            : endReadOnly(session, &ended) == 0) {
    return 0;
  }
  if (why.message.empty()) why = ended;
  return -1;
}
