// The tool's one PostgreSQL connection: connecting, a statement into a
// result holder read cell by cell, and an export's COPY read row by row.
#pragma once

#include <span>
#include <string>

#include "config/db_config.h"

// libpq's result type, named here so that callers need not include libpq.
struct pg_result;
typedef struct pg_result PGresult;  // NOLINT(modernize-use-using): libpq's own spelling

// One statement result, read cell by cell. Holds a result only while the
// last statement returned at least one row.
struct DBData {
  int inRowCount = 0;            // rows of the held result, 0 when empty
  int inColCount = 0;            // columns of the held result, 0 when empty
  int inValueLen = 0;            // byte length of pszValue
  const char* pszValue = nullptr;  // cell chosen by vdDBGetData; points into pResult
  PGresult* pResult = nullptr;   // owned; null when nothing is held
};

// Why a call of this layer failed, in libpq's or the server's words: the
// message ("ERROR:  division by zero (SQLSTATE 22012)", or libpq's account
// of a connection that failed or was lost) and, where the server gave them,
// its detail and hint. Never holds the password.
struct DBFailure {
  std::string message;
  std::string detail;
  std::string hint;
  std::string sqlState;         // the server's code; empty when it did not answer
  bool connectionLost = false;  // nothing more can be sent on the connection
};

// Keeps the memory that libpq releases with the process instead of handing
// it back to the kernel a page at a time, only for the next rows to fault
// it in again. Call before the first statement.
void keepReleasedMemory();

// Connects with the settings, libpq's environment for what they leave out,
// the time-outs of db/conn_string.h and the program's name as the default
// application name. Returns 0 when connected; on -1 nothing is left open
// and `why` (when given) says why.
int inDBConnect(const DbConfig& config, DBFailure* why = nullptr);

// True when the connection's role is a superuser; its name goes to `role`.
bool dbConnectedAsSuperuser(std::string& role);

// Closes the connection opened by inDBConnect (harmless when none is open).
void vdDBDisconnect();

// Runs one statement alone (a ';' is appended when missing; a second
// statement in the text is refused by the server) with `params` as the text
// of $1, $2..., optionally in a READ ONLY transaction of its own that is
// rolled back once the rows are in, together with every advisory lock the
// statement took for the session. Returns 0 on success, -1 on failure (why
// in `why`, when given); afterwards the holder holds the rows, if any. Call
// vdDBClearData after either outcome.
int inDBQuery(const char* pszSql, bool boTransaction, DBData& data,
              std::span<const char* const> params = {}, DBFailure* why = nullptr);

// Points pszValue at a cell (SQL NULL reads as ""); null and 0 when the cell
// does not exist.
void vdDBGetData(int inRow, int inCol, DBData& data);

// Releases the held result.
void vdDBClearData(DBData& data);

// Waits `inDelayMs` milliseconds while watching the connection. Returns 0
// after the full wait or as soon as a stop signal came (stopSignal), or -1
// as soon as the connection is lost (why in `why`, when given): the server
// closed it, or the network went silent for longer than the keepalive bound.
int inDBPause(int inDelayMs, DBFailure* why = nullptr);

// An export's chunk, streamed: dbCopyBegin, dbCopyRow until it returns 0 or
// -1, then dbCopyEnd, whatever happened.
//
// Opens a READ ONLY transaction and starts `sql`, a COPY (...) TO STDOUT,
// in it through the extended protocol, where the server refuses a second
// statement. Returns 0 when the rows are coming, -1 when the transaction or
// the statement could not start.
int dbCopyBegin(const char* sql, DBFailure& why);

// The next row as COPY sends it, its '\n' included, in `row`: writable and
// valid until the next call of this layer. Returns 1 with a row, 0 after
// the last one once the statement has succeeded, -1 when it failed.
int dbCopyRow(std::span<char>& row, DBFailure& why);

// Ends the chunk's transaction: the statement is cancelled when its rows
// are still coming, then the transaction is rolled back and the session's
// advisory locks released, in one round trip. Returns 0, or -1 when that
// failed too; `why` is then filled unless it already holds a reason.
int dbCopyEnd(DBFailure& why);
