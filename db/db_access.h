// The tool's one PostgreSQL connection and the holder of a statement result.
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

// Keeps the memory of released results with the process. A result is
// thousands of small blocks that PQclear frees from the top of the heap
// down; the C library would hand them back to the kernel a page at a time
// (one system call each), only for the next result to fault them in again.
// Call before the first statement.
void vdDBKeepReleasedMemory();

// Connects with the settings, libpq's environment for what they leave out,
// the time-outs of db/conn_string.h and the program's name as the default
// application name. Returns 0 when connected; on -1 nothing is left open.
int inDBConnect(const DbConfig& config);

// True when the connection's role is a superuser; its name goes to `role`.
bool dbConnectedAsSuperuser(std::string& role);

// Closes the connection opened by inDBConnect (harmless when none is open).
void vdDBDisconnect();

// Runs one statement alone (a ';' is appended when missing; a second
// statement in the text is refused by the server) with `params` as the text
// of $1, $2..., optionally in a READ ONLY transaction of its own that is
// rolled back once the rows are in, together with every advisory lock the
// statement took for the session. Returns 0 on success, -1 on failure; afterwards the
// holder holds the rows, if any. Call vdDBClearData after either outcome.
int inDBQuery(const char* pszSql, bool boTransaction, DBData& data,
              std::span<const char* const> params = {});

// Waits `inDelayMs` milliseconds while watching the connection. Returns 0
// after the full wait, or -1 as soon as the connection is lost: the server
// closed it, or the network went silent for longer than the keepalive bound.
int inDBPause(int inDelayMs);

// Points pszValue at a cell (SQL NULL reads as ""); null and 0 when the cell
// does not exist.
void vdDBGetData(int inRow, int inCol, DBData& data);

// One cell of the held result: its text as the server sent it (SQL NULL
// reads as "") and its byte length. Points into the held result.
struct DBCell {
  const char* pszValue;
  int inLen;
};

// Reads the cells of row `inRow` from column `inFirstCol` on into `cells`,
// as many as it holds: the fast way through a large result, one call for
// many cells. Returns how many were read (0 past the last column or outside
// the result).
int inDBGetCells(const DBData& data, int inRow, int inFirstCol, std::span<DBCell> cells);

// Why the last failed call of this layer failed, in libpq's or the server's
// words: the message ("ERROR:  division by zero (SQLSTATE 22012)", or libpq's
// account of a connection that failed or was lost) and, where the server
// gave them, its detail and hint. Never holds the password.
struct DBFailure {
  std::string sMessage;
  std::string sDetail;
  std::string sHint;
};
const DBFailure& frDBLastFailure();

// Releases the held result.
void vdDBClearData(DBData& data);
