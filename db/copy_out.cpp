// An export's chunk streamed as COPY's rows (see session.h). Every wait for
// the server is one that a stop signal ends, or bounds once it has come.
#include <libpq-fe.h>
#include <poll.h>

#include <array>

#include "db/connection.h"
#include "db/session.h"
#include "db/statement_cancel.h"
#include "util/stop_signals.h"

namespace {

int nextRow(DbSession& session, std::span<char>& row, DBFailure& why, StopWait mode,
            bool noWait = false);

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

// Reads the statement's answer, which has not come yet: its rows, or its
// failure. Returns 1 when the rows come, -1 when it failed, or with
// `noWait`, 2 when the answer has not come yet.
int readAnswer(DbSession& session, DBFailure& why, StopWait mode, bool noWait) {
  if (noWait && dbConnected(session) && stopSignal() == 0 && PQisBusy(session.conn) != 0) return 2;
  bool started = false;
  const int read = readResults(session, why, mode, started);
  session.copyRowsCome = started;
  if (read == 0 && started) return 1;
  if (read == 0) why = {"the statement sent no rows", "", "", "", false};
  if (session.conn == nullptr || PQisBusy(session.conn) == 0) setCopyRunning(session, false);
  if (stopSignal() != 0 && why.message.empty()) why = stoppedFailure();
  return -1;
}

// When no whole row is in: waits for more as `mode` says. Returns 0 to
// look again, -1 when the wait ended the rows, or with `noWait` 2 instead
// of waiting. A connection that is gone or a stop goes the waiting way,
// which tells them.
int awaitMore(DbSession& session, DBFailure& why, StopWait mode, bool noWait, bool& lostOnce) {
  if (noWait && dbConnected(session) && stopSignal() == 0) return 2;
  const int waited = waitForServer(session, why, mode);
  if (waited == 1) why = stoppedFailure();
  // A lost connection may still have the server's last words to read:
  // COPY's rows then end, and the statement's failure follows.
  if (waited == -1 && session.conn != nullptr && !lostOnce) {
    lostOnce = true;
    return 0;
  }
  if (waited < 0) setCopyRunning(session, false);
  return waited != 0 ? -1 : 0;
}

// The next row, waiting as `mode` says. Returns 1 with a row, 0 after the
// statement's end once it succeeded, -1 when it failed or the wait ended;
// with `noWait`, 2 instead of waiting for a row that has not come yet.
int nextRow(DbSession& session, std::span<char>& row, DBFailure& why, StopWait mode,
            bool noWait) {
  freeRow(session);
  if (!session.copyRowsCome) {
    if (const int answered = readAnswer(session, why, mode, noWait); answered != 1) return answered;
  }
  bool lostOnce = false;
  for (;;) {
    const int length = PQgetCopyData(session.conn, &session.copyRow, 1);
    if (length > 0) {
      row = std::span<char>(session.copyRow, static_cast<size_t>(length));
      return 1;
    }
    if (length == 0) {
      if (const int waited = awaitMore(session, why, mode, noWait, lostOnce); waited != 0) {
        return waited;
      }
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

// After the statements that open a chunk's transaction: whether it is open,
// also when one of the settings after BEGIN failed and left it aborted,
// so that dbCopyEnd rolls it back.
int opened(DbSession& session, int begun) {
  session.inTransaction =
      begun == 0 || (dbConnected(session) && PQtransactionStatus(session.conn) != PQTRANS_IDLE);
  return begun;
}

}  // namespace

int dbCopyBegin(DbSession& session, const char* sql, DBFailure& why) {
  session.copySucceeded = false;
  if (opened(session, beginReadOnly(session, &why)) != 0) return -1;
  return dbCopyStart(session, sql, why);
}

int dbBeginShared(DbSession& session, std::string_view snapshot, std::string_view more,
                  DBFailure& why) {
  session.copySucceeded = false;
  return opened(session, beginSnapshot(session, snapshot, more, &why));
}

int dbCopyStart(DbSession& session, const char* sql, DBFailure& why) {
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
  // cancels it then. The answer, its rows or its failure, is read with the
  // rows: a server may hold it back until the first row is ready, and the
  // sessions that read ahead do not wait for it.
  setCopyRunning(session, true);
  return 0;
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

int dbCopyRowIfIn(DbSession& session, std::span<char>& row, DBFailure& why) {
  return nextRow(session, row, why, StopWait::kReturn, true);
}

void dbWaitForAny(std::span<DbSession* const> sessions) {
  std::array<pollfd, kMostSessions> watched{};
  size_t count = 0;
  for (DbSession* session : sessions) {
    // A session whose connection is gone has its account to give at once.
    if (session->conn == nullptr || PQsocket(session->conn) < 0) return;
    if (count < watched.size()) watched.at(count++) = {PQsocket(session->conn), POLLIN, 0};
  }
  if (count == 0 || pollUnlessStopped(watched.data(), static_cast<int>(count), 60000) <= 0) return;
  for (size_t i = 0; i < count; ++i) {
    // What failed here shows in the session's next row.
    if (watched.at(i).revents != 0) (void)PQconsumeInput(sessions[i]->conn);
  }
}
