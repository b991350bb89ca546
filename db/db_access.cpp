#include "db/db_access.h"

#include <libpq-fe.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "db/conn_string.h"

namespace {

PGconn* dbConn = nullptr;

// Runs BEGIN or COMMIT; true when the server accepted it.
bool boRunCommand(const char* pszCommand) {
  PGresult* result = PQexec(dbConn, pszCommand);
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  return ok;
}

// Runs the statement into the holder; the caller has handled BEGIN.
int inRunStatement(const char* pszSql, DBData& data) {
  const size_t len = std::strlen(pszSql);
  const std::unique_ptr<char, decltype(&std::free)> copy(
      static_cast<char*>(std::calloc(len + 2, 1)), &std::free);
  if (!copy) return -1;
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): calloc zeroed the two bytes after it
  std::memcpy(copy.get(), pszSql, len);
  if (pszSql[len - 1] != ';') copy.get()[len] = ';';

  data.pResult = PQexec(dbConn, copy.get());
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
      outcome = -1;
      break;
  }
  vdDBClearData(data);
  return outcome;
}

}  // namespace

void vdDBKeepReleasedMemory() { mallopt(M_TRIM_THRESHOLD, -1); }

int inDBConnect(const DbConfig& config) {
  std::array<char, kConnStringSize> conninfo{};
  if (inBuildConnString(config, conninfo) != 0) return -1;
  dbConn = PQconnectdb(conninfo.data());
  if (PQstatus(dbConn) == CONNECTION_OK) return 0;
  vdDBDisconnect();
  return -1;
}

void vdDBDisconnect() {
  PQfinish(dbConn);
  dbConn = nullptr;
}

int inDBQuery(const char* pszSql, bool boTransaction, DBData& data) {
  if (pszSql == nullptr || pszSql[0] == '\0') return -1;
  if (boTransaction && !boRunCommand("BEGIN")) return -1;
  int outcome = inRunStatement(pszSql, data);
  if (boTransaction && !boRunCommand("COMMIT")) outcome = -1;
  return outcome;
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

int inDBGetCells(const DBData& data, int inRow, int inFirstCol, std::span<DBCell> cells) {
  if (data.pResult == nullptr || inRow < 0 || inRow >= data.inRowCount || inFirstCol < 0 ||
      inFirstCol >= data.inColCount) {
    return 0;
  }
  const int inCount =
      static_cast<int>(std::min(cells.size(), static_cast<size_t>(data.inColCount - inFirstCol)));
  for (int i = 0; i < inCount; ++i) {
    DBCell& cell = cells[static_cast<size_t>(i)];
    cell.pszValue = PQgetvalue(data.pResult, inRow, inFirstCol + i);
    cell.inLen = PQgetlength(data.pResult, inRow, inFirstCol + i);
  }
  return inCount;
}

void vdDBClearData(DBData& data) {
  data.inRowCount = 0;
  data.inColCount = 0;
  PQclear(data.pResult);
  data.pResult = nullptr;
}
