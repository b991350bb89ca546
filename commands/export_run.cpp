#include "commands/export_run.h"

#include <array>
#include <cstring>
#include <string>

#include "commands/export_progress.h"
#include "commands/row_output.h"
#include "commands/statement.h"
#include "config/db_config.h"
#include "db/conn_string.h"
#include "db/db_access.h"
#include "util/diagnostics.h"
#include "util/output.h"

namespace {

// Why the chunks stopped.
enum class ChunksEnd { kDone, kStatementFailed, kConnectionLost, kOutputFailed };

// How far an export got: the chunk it stopped in and the last day whose
// rows are all out.
struct Reached {
  Day first{};  // the current chunk's days
  Day last{};
  Day lastComplete{};  // valid when anyComplete
  bool anyComplete = false;
};

int chunkCount(const ExportJob& job) {
  const int span = daysBetween(job.from, job.to) + 1;
  if (job.days <= 0 || span <= 1) return 1;
  return (span - 1) / job.days + 1;
}

// Runs the statement over `first`..`last` and prints its `rows` rows.
ChunksEnd exportChunk(const ExportJob& job, Day first, Day last, DBData& data, int& rows) {
  DayParam from{};
  DayParam after{};
  putDayParam(first, from);
  putDayParam(last + std::chrono::days{1}, after);
  const std::array<const char*, 2> params{from.data(), after.data()};
  if (inDBQuery(job.statement.data(), true, data, params) != 0) {
    return ChunksEnd::kStatementFailed;
  }
  rows = data.inRowCount;
  if (inPrintRows(data) != 0) return ChunksEnd::kOutputFailed;
  vdDBClearData(data);
  return ChunksEnd::kDone;
}

// Exports one statement over the whole range, or consecutive chunks of
// whole days, each released before the pause that follows it.
ChunksEnd exportChunks(const ExportJob& job, DBData& data, Reached& reached) {
  ExportProgress progress;
  vdProgressBegin(progress, chunkCount(job));
  for (Day first = job.from;;) {
    const bool finalChunk = job.days <= 0 || daysBetween(first, job.to) < job.days;
    const Day last = finalChunk ? job.to : first + std::chrono::days{job.days - 1};
    reached.first = first;
    reached.last = last;
    vdProgressChunkStarts(progress, first, last);
    int rows = 0;
    if (const ChunksEnd end = exportChunk(job, first, last, data, rows); end != ChunksEnd::kDone) {
      return end;
    }
    vdProgressChunkEnds(progress, rows);
    if (finalChunk) return ChunksEnd::kDone;

    // Let the reader have this chunk's rows while we wait.
    if (inFinishOutput() != 0) return ChunksEnd::kOutputFailed;
    reached.lastComplete = last;
    reached.anyComplete = true;
    first = last + std::chrono::days{1};
    if (inDBPause(job.delayMs) != 0) return ChunksEnd::kConnectionLost;
  }
}

// The server's or libpq's account of the last failure: the message after
// `what`, then its detail and hint.
void tellDatabaseFailure(std::string_view what) {
  const DBFailure& failure = frDBLastFailure();
  vdTellError({what, failure.sMessage});
  if (!failure.sDetail.empty()) vdTellDetail({failure.sDetail});
  if (!failure.sHint.empty()) vdTellHint({failure.sHint});
}

// Where to start again after an export stopped: the days whose rows are
// all out, and the first of those that are not.
void tellResumePoint(const Reached& reached) {
  if (!reached.anyComplete) return;
  vdTellHint({"the rows up to ", isoText(reached.lastComplete),
              " are complete; to go on, run again with date-from ",
              argumentText(reached.lastComplete + std::chrono::days{1}), " and append"});
}

void tellWhyItStopped(ChunksEnd end, const Reached& reached) {
  const std::string days = isoText(reached.first) + ".." + isoText(reached.last);
  switch (end) {
    case ChunksEnd::kDone: return;
    case ChunksEnd::kStatementFailed:
      tellDatabaseFailure("the statement for " + days + " failed: ");
      break;
    case ChunksEnd::kConnectionLost:
      tellDatabaseFailure("the connection was lost in the pause after " + days + ": ");
      break;
    case ChunksEnd::kOutputFailed:
      vdTellError({"cannot write the rows of ", days, " to standard output: ",
                   sSystemError(inOutputErrno())});
      break;
  }
  tellResumePoint(reached);
}

// The address must be numeric: libpq looks no name up for it.
void tellConnectFailure(const DbConfig& config) {
  tellDatabaseFailure("cannot connect: ");
  const std::string_view address(config.szHostAddr.data(),
                                 strnlen(config.szHostAddr.data(), config.szHostAddr.size()));
  if (!address.empty() && !boIsNumericAddress(address)) {
    vdTellHint({"the host address in ", kDbConfigPath, " must be an IP address, not ",
                sQuoted(address), "; leave it empty and put a host name in PGHOST"});
  }
}

// READ ONLY and the rollback do not hold a superuser back: its functions
// reach the server's files, replication slots and other sessions.
void tellIfSuperuser() {
  std::string role;
  if (!dbConnectedAsSuperuser(role)) return;
  vdTellWarning({"connected as ", sQuoted(role), ", a superuser: read-only transactions do not "
                 "stop a superuser's functions; export with a role that may only SELECT"});
}

Outcome outcomeOf(ChunksEnd end) {
  switch (end) {
    case ChunksEnd::kDone: return Outcome::kSuccess;
    case ChunksEnd::kStatementFailed:
    case ChunksEnd::kConnectionLost: return Outcome::kInvalidSql;
    case ChunksEnd::kOutputFailed: break;
  }
  return Outcome::kOutputFailed;
}

}  // namespace

Outcome runExport(const ExportJob& job) {
  vdDBKeepReleasedMemory();
  DbConfig config{};
  if (inLoadDbConfig(config) != 0) return Outcome::kPrinted;
  if (inDBConnect(config) != 0) {
    tellConnectFailure(config);
    return Outcome::kCannotConnect;
  }
  tellIfSuperuser();
  DBData data;
  Reached reached;
  const ChunksEnd end = exportChunks(job, data, reached);
  vdDBClearData(data);
  vdDBDisconnect();
  tellWhyItStopped(end, reached);
  vdClearStatus();
  return outcomeOf(end);
}
