#include "db/db_access.h"

#include <libpq-fe.h>
#include <malloc.h>

#include <string>

#include "db/connection.h"
#include "db/statement_cancel.h"

namespace {

// Runs the statement into the holder; the caller has handled BEGIN. The
// statement goes through the extended protocol, in which the server refuses
// a text that holds more than one statement.
int runStatement(DbSession& session, const char* sql, std::span<const char* const> params,
                 DBData& data, DBFailure* why) {
  std::string statement = sql;
  if (statement.back() != ';') statement += ';';
  markStatementRunning(session.cancelSlot, true);
  data.pResult = PQexecParams(session.conn, statement.c_str(), static_cast<int>(params.size()),
                              nullptr, params.data(), nullptr, nullptr, 0);
  markStatementRunning(session.cancelSlot, false);
  int outcome = 0;
  switch (PQresultStatus(data.pResult)) {
    case PGRES_TUPLES_OK:
      data.inRowCount = PQntuples(data.pResult);
      data.inColCount = PQnfields(data.pResult);
      if (data.inRowCount > 0) return 0;
      break;
    case PGRES_EMPTY_QUERY:
    case PGRES_COMMAND_OK:
      break;
    default:
      if (why != nullptr) *why = statementFailure(session, data.pResult);
      outcome = -1;
      break;
  }
  vdDBClearData(data);
  return outcome;
}

}  // namespace

void keepReleasedMemory() { mallopt(M_TRIM_THRESHOLD, -1); }

int dbQuery(DbSession& session, const char* sql, bool transaction, DBData& data,
            std::span<const char* const> params, DBFailure* why) {
  if (sql == nullptr || sql[0] == '\0' || session.conn == nullptr) return -1;
  // A chunk's end still unanswered is read first (beginReadOnly reads it too).
  if (readPendingEnd(session, why) != 0) return -1;
  if (transaction && beginReadOnly(session, why) != 0) return -1;
  int outcome = runStatement(session, sql, params, data, why);
  // The end's failure is not told over the statement's.
  if (transaction && endReadOnly(session, outcome == 0 ? why : nullptr) != 0) outcome = -1;
  return outcome;
}

DbSession& defaultSession() {
  static DbSession session;
  return session;
}

int inDBConnect(const DbConfig& config, DBFailure* why) {
  return dbConnect(defaultSession(), config, why);
}

void vdDBDisconnect() { dbDisconnect(defaultSession()); }

int inDBQuery(const char* pszSql, bool boTransaction, DBData& data,
              std::span<const char* const> params, DBFailure* why) {
  return dbQuery(defaultSession(), pszSql, boTransaction, data, params, why);
}

void vdDBGetData(int inRow, int inCol, DBData& data) {
  if (data.pResult != nullptr && inRow >= 0 && inRow < data.inRowCount && inCol >= 0 &&
      inCol < data.inColCount) {
    data.pszValue = PQgetvalue(data.pResult, inRow, inCol);
    data.inValueLen = PQgetlength(data.pResult, inRow, inCol);
  } else {
    data.pszValue = nullptr;
    data.inValueLen = 0;
  }
}

void vdDBClearData(DBData& data) {
  data.inRowCount = 0;
  data.inColCount = 0;
  PQclear(data.pResult);
  data.pResult = nullptr;
}
