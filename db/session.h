// A session with the server: one libpq connection and what goes with it,
// its cancel object, the state of a COPY that streams on it and of the
// transaction it runs in. The database functions take the session they
// work on, so that a run can hold more than one.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>

#include "config/db_config.h"

// libpq's types, named here so that callers need not include libpq.
struct pg_conn;
typedef struct pg_conn PGconn;  // NOLINT(modernize-use-using): libpq's own spelling
struct pg_result;
typedef struct pg_result PGresult;  // NOLINT(modernize-use-using): libpq's own spelling

// Why a call of this layer failed, in libpq's or the server's words: the
// message ("ERROR:  division by zero (SQLSTATE 22012)", or libpq's account
// of a connection that failed or was lost) and, where the server gave them,
// its detail and hint. Never holds the password.
struct DBFailure {
  std::string message;
  std::string detail;
  std::string hint;
  std::string sqlState;         // the server's code; empty when it did not answer
  // Nothing more can be sent on the connection; for a connect that failed,
  // the network or the server's state was at fault (a reason that passes).
  bool connectionLost = false;
};

struct DbSession {
  PGconn* conn = nullptr;      // null while not connected
  int cancelSlot = -1;         // its cancel object (db/statement_cancel.h), or -1
  char* copyRow = nullptr;     // the row dbCopyRow handed out last, libpq's to free
  bool copyRunning = false;    // from dbCopyBegin until the statement's end is read
  bool copyRowsCome = false;   // its rows have begun: the server said COPY OUT
  bool copySucceeded = false;  // the statement's success was read: all its rows are in
  bool inTransaction = false;  // from a successful BEGIN until dbCopyEnd
  // The end of the chunk's transaction was sent and its answer not read
  // yet: it is read before anything else is sent, and at disconnect.
  bool endPending = false;
  // Why the advisory locks could not be released after the last rollback
  // that went through; the message is empty while they could.
  DBFailure unlockFailure;
  // Once a stop signal has come: the statement was cancelled, and the
  // server is waited for until `giveUpAt`, then the connection closed.
  bool stopHandled = false;
  std::chrono::steady_clock::time_point giveUpAt{};

  DbSession() = default;
  ~DbSession();  // disconnects
  DbSession(const DbSession&) = delete;
  DbSession& operator=(const DbSession&) = delete;
};

// Connects with the settings, libpq's environment for what they leave out,
// the time-outs of db/conn_string.h and the program's name as the default
// application name. A session that was connected is disconnected first.
// Returns 0 when connected; on -1 nothing is left open and `why` (when
// given) says why.
int dbConnect(DbSession& session, const DbConfig& config, DBFailure* why = nullptr);

// Closes the connection (harmless when none is open), after reading the
// answer to a chunk's end still pending, so that a failed release of the
// advisory locks shows in session.unlockFailure; after a stop signal that
// answer is waited for kStopGrace at most.
void dbDisconnect(DbSession& session);

// True while the session has a connection that has not failed.
bool dbConnected(const DbSession& session);

// True when the connection's role is a superuser; its name goes to `role`.
bool dbConnectedAsSuperuser(const DbSession& session, std::string& role);

// The connection's client encoding as the server names it ("UTF8", "SJIS"),
// as it stands now; "" when not connected.
std::string dbClientEncoding(const DbSession& session);

// Waits `delayMs` milliseconds while watching the connection. Returns 0
// after the full wait or as soon as a stop signal came (stopSignal), or -1
// as soon as the connection is lost (why in `why`, when given): the server
// closed it, or the network went silent for longer than the keepalive bound.
// The answer to a chunk's end is read here once it has come in whole, and a
// failure of the end is then the pause's.
int dbPause(DbSession& session, int delayMs, DBFailure* why = nullptr);

// An export's chunk, streamed: dbCopyBegin, dbCopyRow until it returns 0 or
// -1, then dbCopyEnd, whatever happened.
//
// Opens a READ ONLY transaction and sends `sql`, a COPY (...) TO STDOUT,
// in it through the extended protocol, where the server refuses a second
// statement. Returns 0 once it is sent, -1 when the transaction could not
// open or the statement not be sent; the statement's own failure comes
// with its first row.
int dbCopyBegin(DbSession& session, const char* sql, DBFailure& why);

// The next row as COPY sends it, its '\n' included, in `row`: writable and
// valid until the next call on the session. Returns 1 with a row, 0 after
// the last one once the statement has succeeded, -1 when it failed.
int dbCopyRow(DbSession& session, std::span<char>& row, DBFailure& why);

// A chunk read in slices on several sessions, each slice its own COPY, all
// in one snapshot: dbBeginShared on each session (the first's snapshot
// exported with pg_export_snapshot(), then given to the others), any
// statements the caller needs in that transaction, then dbCopyStart; the
// rows of all of them read with dbCopyRowIfIn and dbWaitForAny.
//
// Opens the chunk's READ ONLY transaction as dbCopyBegin does, but
// REPEATABLE READ: in a new snapshot when `snapshot` is empty, otherwise in
// the one another session exported by that name. `more` are SET LOCALs run
// after the tool's own settings, in the same round trip. 0, or -1 and why.
int dbBeginShared(DbSession& session, std::string_view snapshot, std::string_view more,
                  DBFailure& why);

// Starts `sql`, a COPY (...) TO STDOUT, in the transaction already open; as
// dbCopyBegin from there on.
int dbCopyStart(DbSession& session, const char* sql, DBFailure& why);

// As dbCopyRow, but returns 2 instead of waiting when no whole row is in.
int dbCopyRowIfIn(DbSession& session, std::span<char>& row, DBFailure& why);

// The most sessions dbWaitForAny watches at once.
inline constexpr size_t kMostSessions = 16;

// Waits until more has come on one of `sessions`, a stop signal came, or a
// minute passed; at once when one of them has lost its connection.
void dbWaitForAny(std::span<DbSession* const> sessions);

// Ends the chunk's transaction: the statement is cancelled when its rows
// are still coming, then the transaction is rolled back and the session's
// advisory locks released, in one round trip. Returns 0, or -1 when that
// failed too; `why` is then filled unless it already holds a reason. A
// rollback that went through is success even when the release failed:
// that reason is left in session.unlockFailure.
//
// After a statement that succeeded, the end is only sent: its answer comes
// while the rows are written out, and is read before the next statement
// is sent (a failure of it is then that statement's: a lost connection
// shows at the next chunk's BEGIN) or at disconnect. The chunk counts as
// done either way; its rows were all in.
int dbCopyEnd(DbSession& session, DBFailure& why);
