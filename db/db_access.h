// Statements read cell by cell: a statement's result in a holder, and the
// interface of the default session (one connection per run) that takes
// no session argument.
#pragma once

#include <span>

#include "config/db_config.h"
#include "db/session.h"

// One statement result, read cell by cell. Holds a result only while the
// last statement returned at least one row.
struct DBData {
  int inRowCount = 0;            // rows of the held result, 0 when empty
  int inColCount = 0;            // columns of the held result, 0 when empty
  int inValueLen = 0;            // byte length of pszValue
  const char* pszValue = nullptr;  // cell chosen by vdDBGetData; points into pResult
  PGresult* pResult = nullptr;   // owned; null when nothing is held
};

// Keeps the memory that libpq releases with the process instead of handing
// it back to the kernel a page at a time, only for the next rows to fault
// it in again. Call before the first statement.
void keepReleasedMemory();

// Runs one statement alone on `session` (a ';' is appended when missing; a
// second statement in the text is refused by the server) with `params` as
// the text of $1, $2..., optionally in a READ ONLY transaction of its own
// that is rolled back once the rows are in, together with every advisory
// lock the statement took for the session. Returns 0 on success, -1 on
// failure (why in `why`, when given); afterwards the holder holds the rows,
// if any. Call vdDBClearData after either outcome.
int dbQuery(DbSession& session, const char* sql, bool transaction, DBData& data,
            std::span<const char* const> params = {}, DBFailure* why = nullptr);

// The session of inDBConnect, inDBQuery and vdDBDisconnect.
DbSession& defaultSession();

// dbConnect on the default session.
int inDBConnect(const DbConfig& config, DBFailure* why = nullptr);

// dbDisconnect on the default session.
void vdDBDisconnect();

// dbQuery on the default session.
int inDBQuery(const char* pszSql, bool boTransaction, DBData& data,
              std::span<const char* const> params = {}, DBFailure* why = nullptr);

// Points pszValue at a cell (SQL NULL reads as ""); null and 0 when the cell
// does not exist.
void vdDBGetData(int inRow, int inCol, DBData& data);

// Releases the held result.
void vdDBClearData(DBData& data);
