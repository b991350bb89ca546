// The tool's one PostgreSQL connection and the holder of a statement result.
#pragma once

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

// Connects with the settings and a five-second time-out. Returns 0 when
// connected; on -1 nothing is left open.
int inDBConnect(const DbConfig& config);

// Closes the connection opened by inDBConnect (harmless when none is open).
void vdDBDisconnect();

// Runs one statement (a ';' is appended when missing), optionally between
// BEGIN and COMMIT. Returns 0 on success, -1 on failure; afterwards the
// holder holds the rows, if any. Call vdDBClearData after either outcome.
int inDBQuery(const char* pszSql, bool boTransaction, DBData& data);

// Points pszValue at a cell (SQL NULL reads as ""); null and 0 when the cell
// does not exist.
void vdDBGetData(int inRow, int inCol, DBData& data);

// Releases the held result.
void vdDBClearData(DBData& data);
