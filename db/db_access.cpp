#include "db/db_access.h"

#include <libpq-fe.h>
#include <malloc.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "db/conn_string.h"
#include "util/diagnostics.h"
#include "util/program_name.h"

namespace {

PGconn* dbConn = nullptr;
DBFailure dbLastFailure;

// libpq's text without the newline it ends with.
std::string sTrimmed(const char* pszText) {
  std::string text = pszText != nullptr ? pszText : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Keeps libpq's own account of the failure: why the connection failed or
// was lost, with what the server said before it went away.
void vdNoteLibpqFailure() { dbLastFailure = {sTrimmed(PQerrorMessage(dbConn)), "", ""}; }

// Keeps the server's account of why a statement failed: "ERROR:  text
// (SQLSTATE code)" with its detail and hint, or libpq's, when the server did
// not answer (the connection is gone) or there is no result at all.
void vdNoteStatementFailure(const PGresult* result) {
  const char* pszState = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  const char* pszPrimary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (pszState == nullptr || pszPrimary == nullptr) {
    vdNoteLibpqFailure();
    return;
  }
  const char* pszSeverity = PQresultErrorField(result, PG_DIAG_SEVERITY);
  dbLastFailure.sMessage = std::string(pszSeverity != nullptr ? pszSeverity : "ERROR") + ":  " +
                           pszPrimary + " (SQLSTATE " + pszState + ")";
  dbLastFailure.sDetail = sTrimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL));
  dbLastFailure.sHint = sTrimmed(PQresultErrorField(result, PG_DIAG_MESSAGE_HINT));
}

// Server notices (a function's RAISE NOTICE, a warning) go to standard
// error under the program's name, like the program's own lines.
void vdPassOnNotice(void* /*arg*/, const char* pszMessage) { tellServer(pszMessage); }

// Opens a transaction that nothing in it can make writable: a statement
// cannot switch a READ ONLY transaction to read-write once it has begun, and
// the session default it might change applies to later transactions only,
// each of which begins here READ ONLY again. Quoted text is read the standard
// way (backslashes are plain characters outside E'...'), whatever the
// server's default, so that the server reads the statement as the tool did.
constexpr const char* kBeginReadOnly =
    "BEGIN TRANSACTION READ ONLY; SET LOCAL standard_conforming_strings TO on";

// Ends that transaction. An export has nothing to keep, and READ ONLY does
// not stop everything (PostgreSQL 15 lets lo_create write in it): rolled
// back, whatever a function managed to write is gone again.
constexpr const char* kEndReadOnly = "ROLLBACK";

// Runs BEGIN or ROLLBACK; true when the server accepted it. A failure is
// noted when `boNote` (not over the failure of the statement before it).
bool boRunCommand(const char* pszCommand, bool boNote) {
  PGresult* result = PQexec(dbConn, pszCommand);
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  if (!ok && boNote) vdNoteStatementFailure(result);
  PQclear(result);
  return ok;
}

// Runs the statement into the holder; the caller has handled BEGIN. The
// statement goes through the extended protocol, in which the server refuses
// a text that holds more than one statement.
int inRunStatement(const char* pszSql, std::span<const char* const> params, DBData& data) {
  const size_t len = std::strlen(pszSql);
  const std::unique_ptr<char, decltype(&std::free)> copy(
      static_cast<char*>(std::calloc(len + 2, 1)), &std::free);
  if (!copy) {
    dbLastFailure = {"out of memory for the statement", "", ""};
    return -1;
  }
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): calloc zeroed the two bytes after it
  std::memcpy(copy.get(), pszSql, len);
  if (pszSql[len - 1] != ';') copy.get()[len] = ';';

  data.pResult = PQexecParams(dbConn, copy.get(), static_cast<int>(params.size()), nullptr,
                              params.data(), nullptr, nullptr, 0);
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
      vdNoteStatementFailure(data.pResult);
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
  if (buildConnString(config, programName(), conninfo) != 0) {
    dbLastFailure = {"the settings do not make a connection string", "", ""};
    return -1;
  }
  dbConn = PQconnectdb(conninfo.data());
  if (PQstatus(dbConn) == CONNECTION_OK) {
    PQsetNoticeProcessor(dbConn, vdPassOnNotice, nullptr);
    return 0;
  }
  vdNoteLibpqFailure();
  vdDBDisconnect();
  return -1;
}

void vdDBDisconnect() {
  PQfinish(dbConn);
  dbConn = nullptr;
}

int inDBQuery(const char* pszSql, bool boTransaction, DBData& data,
              std::span<const char* const> params) {
  if (pszSql == nullptr || pszSql[0] == '\0') return -1;
  if (boTransaction && !boRunCommand(kBeginReadOnly, true)) return -1;
  int outcome = inRunStatement(pszSql, params, data);
  if (boTransaction && !boRunCommand(kEndReadOnly, outcome == 0)) outcome = -1;
  return outcome;
}

int inDBPause(int inDelayMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(inDelayMs, 0));
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    pollfd watched{PQsocket(dbConn), POLLIN, 0};
    const int ready =
        watched.fd < 0 ? -1
                       : poll(&watched, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (ready < 0 && watched.fd >= 0 && errno == EINTR) continue;
    // Whatever arrived (a notice, the server's goodbye, an error from the
    // socket) is read now; a connection that is gone fails here.
    if (ready < 0 ||
        (ready > 0 && (PQconsumeInput(dbConn) == 0 || PQstatus(dbConn) != CONNECTION_OK))) {
      vdNoteLibpqFailure();
      return -1;
    }
    while (PGnotify* notify = PQnotifies(dbConn)) PQfreemem(notify);
  }
}

const DBFailure& frDBLastFailure() { return dbLastFailure; }

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
