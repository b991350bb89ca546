#include "commands/transaction_query.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands/day_text.h"
#include "commands/export_progress.h"
#include "commands/query_text.h"
#include "commands/row_output.h"
#include "config/db_config.h"
#include "db/conn_string.h"
#include "db/db_access.h"
#include "util/diagnostics.h"
#include "util/output.h"

namespace {

// Longer than any range two accepted days (years 2000 to 2100) can span, and
// short enough that stepping by it never leaves four-digit years.
constexpr int kMaxChunkDays = 400000;

// How the chunks ended; the tool's final message is a ::Outcome.
enum class Outcome { kSuccess, kQueryFailed, kConnectionLost, kOutputFailed };

struct Export {
  std::string_view fields;
  std::string_view filter;
  DayText from;
  DayText to;
  int inDays;
  int inDelayMs;
};

// How far an export got: the chunk it stopped in and the last day whose
// rows are all out.
struct Reached {
  DayText first{};          // the current chunk's days
  DayText last{};
  DayText lastComplete{};   // valid when boAnyComplete
  bool boAnyComplete = false;
};

int inChunkCount(const Export& job, int inStep) {
  const int span = inDaysFromTo(job.from, job.to) + 1;
  if (inStep <= 0 || span <= 1) return 1;
  return (span + inStep - 1) / inStep;
}

// Runs the statement over `from`..`last` and prints its `inRows` rows.
Outcome ocExportChunk(const char* pszStatement, const DayText& from, const DayText& last,
                      DBData& data, int& inRows) {
  DayText end{};
  vdDayAfter(last, end);
  DayParam first{};
  DayParam after{};
  vdPutDayParam(from, first);
  vdPutDayParam(end, after);
  const std::array<const char*, 2> params{first.data(), after.data()};
  if (inDBQuery(pszStatement, true, data, params) != 0) return Outcome::kQueryFailed;
  inRows = data.inRowCount;
  if (inPrintRows(data) != 0) return Outcome::kOutputFailed;
  vdDBClearData(data);
  return Outcome::kSuccess;
}

// Exports one statement over `from`..`to`, or consecutive chunks of whole
// days, each released before the pause that follows it.
Outcome ocExportChunks(const Export& job, const char* pszStatement, DBData& data,
                       Reached& reached) {
  const int step = std::min(job.inDays, kMaxChunkDays);
  ExportProgress progress;
  vdProgressBegin(progress, inChunkCount(job, step));
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
    reached.first = from;
    reached.last = last;
    vdProgressChunkStarts(progress, from, last);
    int rows = 0;
    if (const Outcome outcome = ocExportChunk(pszStatement, from, last, data, rows);
        outcome != Outcome::kSuccess) {
      return outcome;
    }
    vdProgressChunkEnds(progress, rows);
    if (finalChunk) return Outcome::kSuccess;

    // Let the reader have this chunk's rows while we wait.
    if (finishOutput() != 0) return Outcome::kOutputFailed;
    reached.lastComplete = last;
    reached.boAnyComplete = true;
    vdDayAfter(last, from);
    if (inDBPause(job.inDelayMs) != 0) return Outcome::kConnectionLost;
  }
}

// The server's or libpq's account of the last failure: the message after
// `what`, then its detail and hint.
void vdTellDBFailure(std::string_view what) {
  const DBFailure& failure = frDBLastFailure();
  vdTellError({what, failure.sMessage});
  if (!failure.sDetail.empty()) vdTellDetail({failure.sDetail});
  if (!failure.sHint.empty()) vdTellHint({failure.sHint});
}

// Where to start again after an export stopped: the days whose rows are
// all out, and the first of those that are not.
void vdTellResumePoint(const Reached& reached) {
  if (!reached.boAnyComplete) return;
  DayText next{};
  vdDayAfter(reached.lastComplete, next);
  vdTellHint({"the rows up to ", sDayIso(reached.lastComplete),
              " are complete; to go on, run again with date-from ", std::string_view(next.data(), 8),
              " and append"});
}

void vdTellWhyItStopped(Outcome outcome, const Reached& reached) {
  const std::string days = sDayIso(reached.first) + ".." + sDayIso(reached.last);
  switch (outcome) {
    case Outcome::kSuccess: return;
    case Outcome::kQueryFailed:
      vdTellDBFailure("the statement for " + days + " failed: ");
      break;
    case Outcome::kConnectionLost:
      vdTellDBFailure("the connection was lost in the pause after " + days + ": ");
      break;
    case Outcome::kOutputFailed:
      vdTellError(
          {"cannot write the rows of ", days, " to standard output: ", systemError(outputErrno())});
      break;
  }
  vdTellResumePoint(reached);
}

// The address must be numeric: libpq looks no name up for it.
void vdTellConnectFailure(const DbConfig& config) {
  vdTellDBFailure("cannot connect: ");
  const std::string_view address(config.szHostAddr.data(),
                                 strnlen(config.szHostAddr.data(), config.szHostAddr.size()));
  if (!address.empty() && !isNumericAddress(address)) {
    vdTellHint({"the host address in ", kDbConfigPath, " must be an IP address, not ",
                quoted(address), "; leave it empty and put a host name in PGHOST"});
  }
}

// Why the statement would not fit: the condition's buffer or the statement's.
void vdTellTooLong(std::string_view what, size_t length, int inBufferSize) {
  const size_t limit = static_cast<size_t>(inBufferSize) - 1;
  vdTellError({what, " would be ", std::to_string(length), " bytes, ",
               std::to_string(length - limit), " more than the ", std::to_string(limit),
               " it may have"});
}

size_t inStatementLength(std::string_view fields, std::string_view filter) {
  std::vector<char> scratch(fields.size() + filter.size() + kStatementSize);
  (void)inBuildStatement(fields, filter, scratch);
  return std::strlen(scratch.data());
}

// Everything after the arguments are validated: the statement, settings,
// connection, export, release and the final message. On an output failure
// nothing more is printed; the entry point reports it in the exit status.
::Outcome vdRunExport(const Export& job) {
  vdDBKeepReleasedMemory();
  // Every chunk runs the same statement: it is built and checked once,
  // before anything is sent.
  std::array<char, kStatementSize> statement{};
  if (inBuildStatement(job.fields, job.filter, statement) != 0) {
    vdTellTooLong("the statement", inStatementLength(job.fields, job.filter), kStatementSize);
    return ::Outcome::kQueryTooLong;
  }
  if (const int at = inUnopenedBracketAt(job.filter); at >= 0) {
    vdTellError({"the condition closes a bracket it did not open, at byte ", std::to_string(at + 1),
                 " of ", quoted(job.filter)});
    vdTellHint({"a condition stays inside its own brackets; nothing was sent"});
    return ::Outcome::kInvalidSql;
  }
  if (const int at = inUnsureBackslashAt(job.filter); at >= 0) {
    vdTellError({"the condition's E'...' text has a backslash right after a byte above 127, ",
                 "at byte ", std::to_string(at + 1), " of ", quoted(job.filter)});
    vdTellHint({"the client encoding decides whether it escapes the next byte; write the text "
                "without escapes, or as U&'...'; nothing was sent"});
    return ::Outcome::kInvalidSql;
  }
  DbConfig config{};
  if (const ::Outcome loaded = inLoadDbConfig(config); loaded != ::Outcome::kSuccess) return loaded;
  if (inDBConnect(config) != 0) {
    vdTellConnectFailure(config);
    return ::Outcome::kCannotConnect;
  }
  DBData data;
  Reached reached;
  const Outcome outcome = ocExportChunks(job, statement.data(), data, reached);
  vdDBClearData(data);
  vdDBDisconnect();
  vdTellWhyItStopped(outcome, reached);
  clearStatus();
  switch (outcome) {
    case Outcome::kSuccess: return ::Outcome::kSuccess;
    case Outcome::kQueryFailed:
    case Outcome::kConnectionLost: return ::Outcome::kInvalidSql;
    case Outcome::kOutputFailed: break;
  }
  return ::Outcome::kOutputFailed;
}

// Why a day argument is refused, before its message.
bool boDayArgOk(const char* pszArg, std::string_view name, DayText& day) {
  if (inParseDayArg(pszArg, day) == 0) return true;
  vdTellError({name, " ", quoted(pszArg), ": ", sDayArgFault(pszArg)});
  return false;
}

// Validates and rewrites the arguments; `pszCondition` is null in edition 2.0.
::Outcome vdQuery(char* pszFields, char* pszCondition, const char* pszDateFrom,
                  const char* pszDateTo, int inDays, int inDelayMs) {
  Export job{};
  if (!boDayArgOk(pszDateFrom, "date-from", job.from)) return ::Outcome::kDateFromInvalid;
  if (!boDayArgOk(pszDateTo, "date-to", job.to)) return ::Outcome::kDateToInvalid;
  if (inDaysFromTo(job.from, job.to) < 0) {
    vdTellWarning({"date-from ", sDayIso(job.from), " is after date-to ", sDayIso(job.to),
                   ": the range is empty"});
  }
  vdLowerOutsideQuotes(pszFields);
  job.fields = svSelectList(pszFields);

  std::array<char, kConditionSize> filter{};
  if (pszCondition != nullptr) {
    vdLowerOutsideQuotes(pszCondition);
    if (inTranslateCondition(pszCondition, filter) != 0) {
      // "or" at most doubles in length.
      std::vector<char> rewritten(2 * std::strlen(pszCondition) + 4);
      (void)inTranslateCondition(pszCondition, rewritten);
      vdTellTooLong("the condition, rewritten,", std::strlen(rewritten.data()), kConditionSize);
      return ::Outcome::kQueryTooLong;
    }
  }
  job.filter = filter.data();
  job.inDays = inDays;
  job.inDelayMs = inDelayMs;
  return vdRunExport(job);
}

}  // namespace

::Outcome vdTransactionQuery(char* pszFields, char* pszCondition, char* pszDateFrom,
                             const char* pszDateTo, int inDays, int inDelayMs) {
  return vdQuery(pszFields, pszCondition, pszDateFrom, pszDateTo, inDays, inDelayMs);
}

::Outcome vdTransactionQuery(char* pszFields, char* pszDateFrom, const char* pszDateTo, int inDays,
                             int inDelayMs) {
  return vdQuery(pszFields, nullptr, pszDateFrom, pszDateTo, inDays, inDelayMs);
}
