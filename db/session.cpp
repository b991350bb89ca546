#include "db/session.h"

#include <libpq-fe.h>
#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "db/conn_string.h"
#include "db/connect_failure.h"
#include "db/passing_failures.h"
#include "db/connection.h"
#include "db/statement_cancel.h"
#include "util/stop_signals.h"
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
//
// The rows of an unchanged table come in the same order in every run, so
// that a resumed export ends in the same bytes as one that ran through:
// no scan starts in the middle of a table another scan is reading, and no
// parallel workers interleave their rows. A session that the tool can no
// longer reach does not keep its snapshot and locks beyond a few seconds
// of idling in the transaction.
constexpr const char* kBeginReadOnly = "BEGIN TRANSACTION READ ONLY; ";
constexpr const char* kChunkSettings =
    "SET LOCAL standard_conforming_strings TO on; "
    "SET LOCAL synchronize_seqscans TO off; SET LOCAL max_parallel_workers_per_gather TO 0; "
    "SET LOCAL idle_in_transaction_session_timeout TO 10000";

// From PostgreSQL 14 on the server also checks, while a statement runs,
// that the client is still there, and ends the statement of a tool that was
// killed outright within about this long, instead of running it to its end.
// SET LOCAL, so that a pooled server connection keeps nothing of it.
constexpr const char* kClientCheck = "; SET LOCAL client_connection_check_interval TO 2000";
constexpr int kFirstCheckingVersion = 140000;

// A chunk read in slices on several sessions reads in one snapshot: the
// first session's, exported, and imported by the others before anything
// else runs in their transactions.
constexpr const char* kBeginSnapshot = "BEGIN TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY; ";

// Ends that transaction. An export has nothing to keep, and READ ONLY does
// not stop everything (PostgreSQL 15 lets lo_create write in it): rolled
// back, whatever a function managed to write is gone again. A session's
// advisory locks outlive the rollback; behind a pooler that keeps the
// server connection they would outlive the tool too, so they go in the same
// round trip, on the same server connection. The function is named with
// its schema, so that no search path finds another one first.
constexpr const char* kEndReadOnly = "ROLLBACK; SELECT pg_catalog.pg_advisory_unlock_all()";

// Runs BEGIN or the end of the transaction; 0 when the server accepted all
// of it (the last result of the end is the unlock's row). After a stop
// signal the server is waited for a bounded time only.
int runCommand(DbSession& session, const char* command, DBFailure* why) {
  DBFailure failure;
  int outcome = -1;
  if (PQsendQuery(session.conn, command) == 0) {
    failure = libpqFailure(session);
  } else {
    markStatementRunning(session.cancelSlot, true);
    bool copyStarted = false;
    outcome = readResults(session, failure, StopWait::kBounded, copyStarted);
    markStatementRunning(session.cancelSlot, false);
  }
  if (outcome != 0) fill(why, failure);
  return outcome;
}

// PQcancel opens a connection of its own and waits for it as long as the
// network takes; on a thread of its own, that wait holds nothing up.
void* sendCancel(void* cancel) {
  std::array<char, 256> error{};
  (void)PQcancel(static_cast<PGcancel*>(cancel), error.data(), static_cast<int>(error.size()));
  PQfreeCancel(static_cast<PGcancel*>(cancel));
  return nullptr;
}

// After a stop signal, once: asks the server to cancel what runs, without
// waiting for the request to arrive, and sets how long it is waited for.
void handleStop(DbSession& session) {
  if (session.stopHandled) return;
  session.stopHandled = true;
  // One grace for the process, from the first session that heard of the
  // stop: several sessions that read ahead are given up on together.
  static const auto giveUpAt = std::chrono::steady_clock::now() + kStopGrace;
  session.giveUpAt = giveUpAt;
  PGcancel* cancel = PQgetCancel(session.conn);
  if (cancel == nullptr) return;
  pthread_attr_t attributes;
  pthread_t thread{};
  const bool made = pthread_attr_init(&attributes) == 0 &&
                    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                    pthread_create(&thread, &attributes, sendCancel, cancel) == 0;
  (void)pthread_attr_destroy(&attributes);
  if (!made) (void)sendCancel(cancel);
}

}  // namespace

DbSession::~DbSession() { dbDisconnect(*this); }

int waitForServer(DbSession& session, DBFailure& why, StopWait mode) {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    pollfd watched{PQsocket(session.conn), POLLIN, 0};
    if (watched.fd < 0) {
      why = libpqFailure(session);
      return -1;
    }
    int ready = 0;
    if (stopSignal() == 0) {
      ready = pollUnlessStopped(&watched, 1, 60000);
    } else if (mode == StopWait::kReturn) {
      return 1;
    } else {
      handleStop(session);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(session.giveUpAt - Clock::now());
      if (left.count() <= 0) {
        why = {"the server did not end the statement within " + std::to_string(kStopGrace.count()) +
                   " s of the stop signal; the connection was closed",
               "", "", "", true};
        dbDisconnect(session);
        return -2;
      }
      ready = poll(&watched, 1, static_cast<int>(left.count()));
    }
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    if (ready < 0 || PQconsumeInput(session.conn) == 0) {
      why = libpqFailure(session);
      return -1;
    }
    return 0;
  }
}

namespace {

// The connection is gone: what the server said before it went (a FATAL
// with its code) is in the result libpq makes of it.
void takeLastWords(DbSession& session, DBFailure& why) {
  if (session.conn == nullptr) return;
  bool told = false;
  while (PGresult* last = PQgetResult(session.conn)) {
    if (PQresultStatus(last) == PGRES_FATAL_ERROR && !told) {
      why = statementFailure(session, last);
      told = true;
    }
    PQclear(last);
  }
}

}  // namespace

int readResults(DbSession& session, DBFailure& why, StopWait mode, bool& copyStarted) {
  copyStarted = false;
  int outcome = 0;
  for (;;) {
    while (PQisBusy(session.conn) != 0) {
      // A failure already read (the server's FATAL before it closed the
      // connection) is the reason, not the closed connection after it.
      DBFailure waitWhy;
      const int waited = waitForServer(session, waitWhy, mode);
      if (waited != 0 && outcome == 0) why = waitWhy;
      if (waited == -1 && outcome == 0) takeLastWords(session, why);
      if (waited != 0) return -1;
    }
    PGresult* result = PQgetResult(session.conn);
    if (result == nullptr) return outcome;
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COPY_OUT) {
      PQclear(result);
      copyStarted = true;
      return outcome;
    }
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && outcome == 0) {
      why = statementFailure(session, result);
      outcome = -1;
    }
    PQclear(result);
  }
}

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

namespace {

// Opens a chunk's transaction with `begin`, importing `snapshot` when it is
// not empty, then the chunk's settings and `more`, in one round trip, once
// the previous chunk's end is answered.
int openChunk(DbSession& session, std::string_view begin, std::string_view snapshot,
              std::string_view more, DBFailure* why) {
  if (readPendingEnd(session, why) != 0) return -1;
  std::string text(begin);
  if (!snapshot.empty()) text.append("SET TRANSACTION SNAPSHOT '").append(snapshot).append("'; ");
  text += kChunkSettings;
  if (PQserverVersion(session.conn) >= kFirstCheckingVersion) text += kClientCheck;
  if (!more.empty()) text.append("; ").append(more);
  return runCommand(session, text.c_str(), why);
}

}  // namespace

int beginReadOnly(DbSession& session, DBFailure* why) {
  return openChunk(session, kBeginReadOnly, "", "", why);
}

int beginSnapshot(DbSession& session, std::string_view snapshot, std::string_view more,
                  DBFailure* why) {
  // The name is the server's own (hex digits and dashes); anything else is
  // not put into a statement.
  if (snapshot.find_first_not_of("0123456789ABCDEFabcdef-") != std::string_view::npos) {
    fill(why, {"the snapshot to share is not one the server named", "", "", "", false});
    return -1;
  }
  return openChunk(session, kBeginSnapshot, snapshot, more, why);
}

namespace {

// What the answer to the end says, `read` being 0 when all of it went
// through and `failure` the first failure otherwise.
int judgeEnd(DbSession& session, int read, DBFailure failure, DBFailure* why) {
  if (read == 0) return 0;
  // The rollback went through when the session is out of its transaction
  // and still connected: only the unlock failed (a role that may not call
  // it). The chunk's work is undone all the same.
  if (!failure.sqlState.empty() && session.conn != nullptr &&
      PQstatus(session.conn) == CONNECTION_OK &&
      PQtransactionStatus(session.conn) == PQTRANS_IDLE) {
    session.unlockFailure = std::move(failure);
    return 0;
  }
  fill(why, std::move(failure));
  return -1;
}

}  // namespace

int endReadOnly(DbSession& session, DBFailure* why) {
  DBFailure failure;
  const int read = runCommand(session, kEndReadOnly, &failure);
  return judgeEnd(session, read, std::move(failure), why);
}

int sendEndReadOnly(DbSession& session, DBFailure* why) {
  if (PQsendQuery(session.conn, kEndReadOnly) == 0) {
    fill(why, libpqFailure(session));
    return -1;
  }
  session.endPending = true;
  return 0;
}

int readPendingEnd(DbSession& session, DBFailure* why) {
  if (!session.endPending) return 0;
  // Cleared first: a wait that gives up disconnects, which reads no more.
  session.endPending = false;
  DBFailure failure;
  bool copyStarted = false;
  const int read = readResults(session, failure, StopWait::kBounded, copyStarted);
  return judgeEnd(session, read, std::move(failure), why);
}

int dbConnect(DbSession& session, const DbConfig& config, DBFailure* why) {
  dbDisconnect(session);
  std::array<char, kConnStringSize> conninfo{};
  if (buildConnString(config, programName(), conninfo) != 0) {
    fill(why, {"the settings do not make a connection string", "", "", "", false});
    return -1;
  }
  session.stopHandled = false;
  // Connected the blocking way (with its time-out and its move to the next
  // host), but with verbose errors, whose codes say why the server refused:
  // the connection started here only carries the setting into the reset.
  session.conn = PQconnectStart(conninfo.data());
  if (session.conn != nullptr && PQstatus(session.conn) != CONNECTION_BAD) {
    (void)PQsetErrorVerbosity(session.conn, PQERRORS_VERBOSE);
    PQreset(session.conn);
  }
  (void)PQsetErrorVerbosity(session.conn, PQERRORS_DEFAULT);
  if (PQstatus(session.conn) == CONNECTION_OK) {
    PQsetNoticeProcessor(session.conn, passOnNotice, nullptr);
    session.cancelSlot = takeCancelSlot(session.conn);
    return 0;
  }
  const ConnectAccount account = readConnectFailure(PQerrorMessage(session.conn));
  DBFailure failure{trimmed(account.message.c_str()), "", "", "", account.socketPasses};
  // The code that lets it pass, when one host's does; else the last one.
  for (const std::string& state : account.serverStates) {
    if (failure.sqlState.empty() || !connectStatePasses(failure.sqlState)) failure.sqlState = state;
  }
  fill(why, std::move(failure));
  dbDisconnect(session);
  return -1;
}

void dbDisconnect(DbSession& session) {
  if (session.endPending && PQstatus(session.conn) == CONNECTION_OK) {
    (void)readPendingEnd(session, nullptr);
  }
  session.endPending = false;
  PQfreemem(session.copyRow);
  session.copyRow = nullptr;
  session.copyRunning = false;
  session.copySucceeded = false;
  session.inTransaction = false;
  returnCancelSlot(session.cancelSlot);
  session.cancelSlot = -1;
  PQfinish(session.conn);
  session.conn = nullptr;
}

bool dbConnected(const DbSession& session) {
  return session.conn != nullptr && PQstatus(session.conn) == CONNECTION_OK;
}

bool dbConnectedAsSuperuser(const DbSession& session, std::string& role) {
  const char* superuser = PQparameterStatus(session.conn, "is_superuser");
  if (superuser == nullptr || std::strcmp(superuser, "on") != 0) return false;
  const char* user = PQuser(session.conn);
  role = user != nullptr ? user : "";
  return true;
}

std::string dbClientEncoding(const DbSession& session) {
  const char* name = PQparameterStatus(session.conn, "client_encoding");
  return name != nullptr ? name : "";
}

int dbPause(DbSession& session, int delayMs, DBFailure* why) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
  for (;;) {
    // The chunk's end is read once its whole answer is in (PQisBusy reads
    // none from the socket): what comes after it, the server's last words
    // before it closes the connection, is then told as it comes.
    if (session.endPending && PQisBusy(session.conn) == 0 && readPendingEnd(session, why) != 0) {
      return -1;
    }
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
