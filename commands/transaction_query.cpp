#include "commands/transaction_query.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "commands/day_text.h"
#include "commands/query_text.h"
#include "commands/row_output.h"
#include "config/db_config.h"
#include "db/db_access.h"
#include "util/output.h"

namespace {

// Longer than any range two accepted days (years 2000 to 2100) can span, and
// short enough that stepping by it never leaves four-digit years.
constexpr int kMaxChunkDays = 400000;

enum class Outcome { kSuccess, kQueryFailed, kOutputFailed };

struct Export {
  std::string_view fields;
  std::string_view filter;
  DayText from;
  DayText to;
  int inDays;
  int inDelayMs;
};

// Runs the statement over `from`..`last` and prints its rows.
Outcome ocExportChunk(const char* pszStatement, const DayText& from, const DayText& last,
                      DBData& data) {
  DayText end{};
  vdDayAfter(last, end);
  DayParam first{};
  DayParam after{};
  vdPutDayParam(from, first);
  vdPutDayParam(end, after);
  const std::array<const char*, 2> params{first.data(), after.data()};
  if (inDBQuery(pszStatement, true, data, params) != 0) return Outcome::kQueryFailed;
  if (inPrintRows(data) != 0) return Outcome::kOutputFailed;
  vdDBClearData(data);
  return Outcome::kSuccess;
}

// Exports one statement over `from`..`to`, or consecutive chunks of whole
// days, each released before the pause that follows it.
Outcome ocExportChunks(const Export& job, const char* pszStatement, DBData& data) {
  const int step = std::min(job.inDays, kMaxChunkDays);
  DayText from = job.from;
  for (;;) {
    DayText last = job.to;
    bool finalChunk = true;
    if (step > 0) {
      DayText candidate = from;
      vdAddDays(candidate, step - 1);
      if (std::memcmp(candidate.data(), job.to.data(), 8) < 0) {
        last = candidate;
        finalChunk = false;
      }
    }
    if (const Outcome outcome = ocExportChunk(pszStatement, from, last, data);
        outcome != Outcome::kSuccess || finalChunk) {
      return outcome;
    }
    // Let the reader have this chunk's rows while we wait.
    if (inFinishOutput() != 0) return Outcome::kOutputFailed;
    vdDayAfter(last, from);
    if (inDBPause(job.inDelayMs) != 0) return Outcome::kQueryFailed;
  }
}

// Everything after the arguments are validated: the statement, settings,
// connection, export, release and the final message. On an output failure
// nothing more is printed; the entry point reports it in the exit status.
void vdRunExport(const Export& job) {
  vdUseLargeOutputBuffer();
  vdDBKeepReleasedMemory();
  // Every chunk runs the same statement: it is built and checked once,
  // before anything is sent.
  std::array<char, kStatementSize> statement{};
  if (inBuildStatement(job.fields, job.filter, statement) != 0) {
    inPrintText("Error - Query Too Long");
    return;
  }
  if (!boFilterKeepsItsBrackets(job.filter)) {
    inPrintText("Error - Invalid Sql Command");
    return;
  }
  DbConfig config{};
  if (inLoadDbConfig(config) != 0) return;
  if (inDBConnect(config) != 0) {
    inPrintText("Error - Can't Connect Database");
    return;
  }
  DBData data;
  const Outcome outcome = ocExportChunks(job, statement.data(), data);
  vdDBClearData(data);
  vdDBDisconnect();
  switch (outcome) {
    case Outcome::kSuccess: inPrintText("Success"); break;
    case Outcome::kQueryFailed: inPrintText("Error - Invalid Sql Command"); break;
    case Outcome::kOutputFailed: break;
  }
}

// Validates and rewrites the arguments; `pszCondition` is null in edition 2.0.
void vdQuery(char* pszFields, char* pszCondition, const char* pszDateFrom, const char* pszDateTo,
             int inDays, int inDelayMs) {
  Export job{};
  if (inParseDayArg(pszDateFrom, job.from) != 0) {
    inPrintText("Error - Date From Invalid");
    return;
  }
  if (inParseDayArg(pszDateTo, job.to) != 0) {
    inPrintText("Error - Date To Invalid");
    return;
  }
  vdLowerOutsideQuotes(pszFields);
  job.fields = svSelectList(pszFields);

  std::array<char, kConditionSize> filter{};
  if (pszCondition != nullptr) {
    vdLowerOutsideQuotes(pszCondition);
    if (inTranslateCondition(pszCondition, filter) != 0) {
      inPrintText("Error - Query Too Long");
      return;
    }
  }
  job.filter = filter.data();
  job.inDays = inDays;
  job.inDelayMs = inDelayMs;
  vdRunExport(job);
}

}  // namespace

void vdTransactionQuery(char* pszFields, char* pszCondition, char* pszDateFrom,
                        const char* pszDateTo, int inDays, int inDelayMs) {
  vdQuery(pszFields, pszCondition, pszDateFrom, pszDateTo, inDays, inDelayMs);
}

void vdTransactionQuery(char* pszFields, char* pszDateFrom, const char* pszDateTo, int inDays,
                        int inDelayMs) {
  vdQuery(pszFields, nullptr, pszDateFrom, pszDateTo, inDays, inDelayMs);
}
