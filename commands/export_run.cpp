#include "commands/export_run.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "commands/export_progress.h"
#include "commands/statement.h"
#include "config/db_config.h"
#include "db/conn_string.h"
#include "db/db_access.h"
#include "util/diagnostics.h"
#include "util/output.h"
#include "util/spool.h"

namespace {

// Why the chunks stopped.
enum class ChunksEnd { kDone, kStatementFailed, kConnectionLost, kSpoolFailed, kOutputFailed };

// How far an export got: the chunk it stopped in and the last day whose
// rows are all out.
struct Reached {
  Day first{};  // the current chunk's days
  Day last{};
  Day lastComplete{};  // valid when anyComplete
  bool anyComplete = false;
};

// What an export carries from chunk to chunk.
struct Run {
  const ExportJob& job;
  Spool spool;  // the current chunk's lines
  ExportProgress progress;
  Reached reached;
  DBFailure why;  // the database's account of a failure
  // Values printed that hold '|' or a line break, and the days of the
  // chunk where the first of them was.
  uint64_t breakingValues = 0;
  Day breakingFirst{};
  Day breakingLast{};
};

// Rows are counted on the status line this many at a time.
constexpr int kRowsPerProgress = 4096;

int chunkCount(const ExportJob& job) {
  const int span = daysBetween(job.from, job.to) + 1;
  if (job.days <= 0 || span <= 1) return 1;
  return (span - 1) / job.days + 1;
}

// Streams the rows of `first`..`last` into the spool. The statement's end
// is read (or the statement cancelled) and its transaction ended whatever
// happened.
ChunksEnd spoolChunk(Run& run, Day first, Day last, size_t& breaking) {
  std::array<char, kStatementSize> statement{};
  (void)buildStatement(run.job.fields, run.job.filter, first, last + std::chrono::days{1},
                       statement);
  if (dbCopyBegin(statement.data(), run.why) != 0) {
    (void)dbCopyEnd(run.why);
    return ChunksEnd::kStatementFailed;
  }
  int got = 0;
  int sinceShown = 0;
  bool spooled = true;
  std::span<char> row;
  while (spooled && (got = dbCopyRow(row, run.why)) == 1) {
    spooled = spoolCopyRow(run.spool, row, run.job.format, breaking);
    if (++sinceShown == kRowsPerProgress) {
      progressRowsArrived(run.progress, sinceShown);
      sinceShown = 0;
    }
  }
  progressRowsArrived(run.progress, sinceShown);
  const bool ended = dbCopyEnd(run.why) == 0;
  if (!spooled) return ChunksEnd::kSpoolFailed;
  return got == 0 && ended ? ChunksEnd::kDone : ChunksEnd::kStatementFailed;
}

// Exports the chunk over `first`..`last`: its lines reach standard output
// only once its statement has succeeded, so a chunk that fails prints none.
ChunksEnd exportChunk(Run& run, Day first, Day last) {
  spoolReset(run.spool);
  size_t breaking = 0;
  if (const ChunksEnd end = spoolChunk(run, first, last, breaking); end != ChunksEnd::kDone) {
    return end;
  }
  const SpoolOut out = spoolOut(run.spool);
  if (out.fault == SpoolOutFault::kSpool) return ChunksEnd::kSpoolFailed;
  if (out.fault == SpoolOutFault::kOutput) return ChunksEnd::kOutputFailed;
  if (breaking > 0 && run.breakingValues == 0) {
    run.breakingFirst = first;
    run.breakingLast = last;
  }
  run.breakingValues += breaking;
  return ChunksEnd::kDone;
}

// Exports one statement over the whole range, or consecutive chunks of
// whole days with a pause after each but the last.
ChunksEnd exportChunks(Run& run) {
  const ExportJob& job = run.job;
  progressBegins(run.progress, chunkCount(job));
  for (Day first = job.from;;) {
    const bool finalChunk = job.days <= 0 || daysBetween(first, job.to) < job.days;
    const Day last = finalChunk ? job.to : first + std::chrono::days{job.days - 1};
    run.reached.first = first;
    run.reached.last = last;
    progressChunkStarts(run.progress, first, last);
    if (const ChunksEnd end = exportChunk(run, first, last); end != ChunksEnd::kDone) return end;
    progressChunkEnds(run.progress);
    if (finalChunk) return ChunksEnd::kDone;
    run.reached.lastComplete = last;
    run.reached.anyComplete = true;
    first = last + std::chrono::days{1};
    if (inDBPause(job.delayMs, &run.why) != 0) return ChunksEnd::kConnectionLost;
  }
}

// The server's or libpq's account of a failure: the message after `what`,
// then its detail and hint.
void tellDatabaseFailure(std::string_view what, const DBFailure& failure) {
  tellError({what, failure.message});
  if (!failure.detail.empty()) tellDetail({failure.detail});
  if (!failure.hint.empty()) tellHint({failure.hint});
}

// Where to start again after an export stopped: the days whose rows are
// all out, and the first of those that are not.
void tellResumePoint(const Reached& reached) {
  if (!reached.anyComplete) return;
  tellHint({"the rows up to ", isoText(reached.lastComplete),
              " are complete; to go on, run again with date-from ",
              argumentText(reached.lastComplete + std::chrono::days{1}), " and append"});
}

// "2024-01-03", or "2024-01-03..2024-01-09" for more than one day.
std::string daysText(Day first, Day last) {
  return first == last ? isoText(first) : isoText(first) + ".." + isoText(last);
}

void tellWhyItStopped(ChunksEnd end, const Run& run) {
  const Reached& reached = run.reached;
  const std::string days = isoText(reached.first) + ".." + isoText(reached.last);
  switch (end) {
    case ChunksEnd::kDone: return;
    case ChunksEnd::kStatementFailed:
      tellDatabaseFailure("the statement for " + days + " failed: ", run.why);
      break;
    case ChunksEnd::kConnectionLost:
      tellDatabaseFailure("the connection was lost in the pause after " + days + ": ", run.why);
      break;
    case ChunksEnd::kSpoolFailed:
      tellError({"the rows of ", days, " cannot be held back until they are complete: ",
                   spoolReason(run.spool)});
      break;
    case ChunksEnd::kOutputFailed:
      tellError({"cannot write the rows of ", days, " to standard output: ",
                   systemError(outputErrno())});
      break;
  }
  tellResumePoint(reached);
}

// Values with '|' or a line break make lines that cannot be split back
// into the same rows and fields: the rows stay as they are, but the
// operator hears of it.
void tellBreakingValues(const Run& run) {
  if (run.breakingValues == 0) return;
  tellWarning({std::to_string(run.breakingValues),
                 run.breakingValues == 1 ? " value holds" : " values hold",
                 " '|' or a line break, the first in the rows of ",
                 daysText(run.breakingFirst, run.breakingLast),
                 ": those lines cannot be split back into the same rows and fields"});
  tellHint({"for lines that read back with COPY FROM or \\copy, set ", kFormatVariable,
              "=copy"});
}

// The address must be numeric: libpq looks no name up for it.
void tellConnectFailure(const DbConfig& config, const DBFailure& why) {
  tellDatabaseFailure("cannot connect: ", why);
  const std::string_view address(config.szHostAddr.data(),
                                 strnlen(config.szHostAddr.data(), config.szHostAddr.size()));
  if (!address.empty() && !isNumericAddress(address)) {
    tellHint({"the host address in ", kDbConfigPath, " must be an IP address, not ",
                quoted(address), "; leave it empty and put a host name in PGHOST"});
  }
}

// READ ONLY and the rollback do not hold a superuser back: its functions
// reach the server's files, replication slots and other sessions.
void tellIfSuperuser() {
  std::string role;
  if (!dbConnectedAsSuperuser(role)) return;
  tellWarning({"connected as ", quoted(role), ", a superuser: read-only transactions do not "
                 "stop a superuser's functions; export with a role that may only SELECT"});
}

Outcome outcomeOf(ChunksEnd end) {
  switch (end) {
    case ChunksEnd::kDone: return Outcome::kSuccess;
    case ChunksEnd::kStatementFailed:
    case ChunksEnd::kConnectionLost: return Outcome::kInvalidSql;
    case ChunksEnd::kSpoolFailed: return Outcome::kAllocationFailed;
    case ChunksEnd::kOutputFailed: break;
  }
  return Outcome::kOutputFailed;
}

}  // namespace

Outcome runExport(const ExportJob& job) {
  keepReleasedMemory();
  DbConfig config{};
  if (const Outcome loaded = inLoadDbConfig(config); loaded != Outcome::kSuccess) return loaded;
  DBFailure why;
  if (inDBConnect(config, &why) != 0) {
    tellConnectFailure(config, why);
    return Outcome::kCannotConnect;
  }
  tellIfSuperuser();
  Run run{job, {}, {}, {}, {}, 0, {}, {}};
  const ChunksEnd end = exportChunks(run);
  vdDBDisconnect();
  tellWhyItStopped(end, run);
  tellBreakingValues(run);
  clearStatus();
  return outcomeOf(end);
}
