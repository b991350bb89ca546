#include "commands/export_run.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "commands/condition.h"
#include "commands/export_progress.h"
#include "commands/export_report.h"
#include "commands/statement.h"
#include "config/db_config.h"
#include "db/db_access.h"
#include "db/passing_failures.h"
#include "db/stop_signals.h"
#include "util/diagnostics.h"
#include "util/output.h"
#include "util/spool.h"

namespace {

// Why the chunks stopped.
enum class ChunksEnd {
  kDone,
  kStatementFailed,
  kConnectionLost,  // in the pause, or while connecting again
  kSpoolFailed,
  kOutputFailed,
  kStopped,  // by a stop signal
};

// What an export carries from chunk to chunk.
struct Run {
  Run(const ExportJob& exportJob, const DbConfig& settings)
      : job(exportJob), config(settings), spool(exportJob.spoolDirectory) {}

  const ExportJob& job;
  const DbConfig& config;
  Spool spool;  // the current chunk's lines
  ExportProgress progress;
  Day first{};  // the current chunk's days
  Day last{};
  Day next{};  // the first day whose rows are not all out
  OutputStart start;
  uint64_t completeBytes = 0;  // this run's output that holds whole chunks
  DBFailure why;               // the database's account of a failure
  int retries = 0;             // spent since the last chunk that went through
  bool pausing = false;        // between chunks, or waiting to try again
  // Values printed that hold '|' or a line break, and the days of the
  // chunk where the first of them was.
  uint64_t breakingValues = 0;
  Day breakingFirst{};
  Day breakingLast{};
};

// Rows are counted on the status line this many at a time.
constexpr int kRowsPerProgress = 4096;

// The wait before each retry doubles up to this.
constexpr int kLongestRetryWaitSeconds = 16;

int chunkCount(const ExportJob& job) {
  const int span = daysBetween(job.from, job.to) + 1;
  if (job.days <= 0 || span <= 1) return 1;
  return (span - 1) / job.days + 1;
}

// Streams the rows of the current chunk into the spool. The statement's end
// is read (or the statement cancelled) and its transaction ended whatever
// happened.
ChunksEnd spoolChunk(Run& run, size_t& breaking) {
  std::array<char, kStatementSize> statement{};
  (void)buildStatement(run.job.fields, run.job.filter, run.first, run.last + std::chrono::days{1},
                       statement);
  if (dbCopyBegin(statement.data(), run.why) != 0) {
    (void)dbCopyEnd(run.why);
    return ChunksEnd::kStatementFailed;
  }
  int got = 0;
  int sinceShown = 0;
  bool spooled = true;
  std::span<char> row;
  // A stop that came between two rows, where no statement ran to be
  // cancelled, ends the rows here; dbCopyEnd cancels the rest.
  while (spooled && stopSignal() == 0 && (got = dbCopyRow(row, run.why)) == 1) {
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

// Exports the current chunk: its lines reach standard output only once its
// statement has succeeded, so a chunk that fails prints none of them.
ChunksEnd exportChunk(Run& run) {
  spoolReset(run.spool);
  size_t breaking = 0;
  if (const ChunksEnd end = spoolChunk(run, breaking); end != ChunksEnd::kDone) return end;
  if (stopSignal() != 0) return ChunksEnd::kStopped;
  const SpoolOut out = spoolOut(run.spool);
  if (out.fault == SpoolOutFault::kSpool) return ChunksEnd::kSpoolFailed;
  if (out.fault == SpoolOutFault::kOutput) return ChunksEnd::kOutputFailed;
  run.completeBytes += out.written;
  if (breaking > 0 && run.breakingValues == 0) {
    run.breakingFirst = run.first;
    run.breakingLast = run.last;
  }
  run.breakingValues += breaking;
  return ChunksEnd::kDone;
}

// After a failure that passes (run.why, told as `what`): waits, connects
// again and returns true, as long as retries are left. Connecting again
// may fail for a reason that passes too, and is then retried the same way.
bool reconnect(Run& run, std::string what) {
  for (;;) {
    if (run.retries >= run.job.retries || stopSignal() != 0) return false;
    ++run.retries;
    const int seconds = std::min(1 << std::min(run.retries - 1, 4), kLongestRetryWaitSeconds);
    tellRetry(what, run.why, run.retries, run.job.retries, seconds);
    vdDBDisconnect();
    waitUnlessStopped(seconds * 1000);
    if (stopSignal() != 0) return false;
    if (inDBConnect(run.config, &run.why) == 0) return true;
    if (!connectFailurePasses(run.why)) return false;
    what = "cannot connect: ";
  }
}

// Exports the current chunk, again from its start as long as it fails for
// reasons that pass and retries are left.
ChunksEnd exportChunkRetrying(Run& run) {
  for (;;) {
    const ChunksEnd end = exportChunk(run);
    if (stopSignal() != 0) return ChunksEnd::kStopped;
    if (end != ChunksEnd::kStatementFailed || !chunkFailurePasses(run.why)) return end;
    const std::string what =
        "the statement for " + isoText(run.first) + ".." + isoText(run.last) + " failed: ";
    if (!reconnect(run, what)) {
      return stopSignal() != 0 ? ChunksEnd::kStopped : ChunksEnd::kStatementFailed;
    }
  }
}

// Exports one statement over the whole range, or consecutive chunks of
// whole days with a pause after each but the last.
ChunksEnd exportChunks(Run& run) {
  const ExportJob& job = run.job;
  progressBegins(run.progress, chunkCount(job));
  for (run.first = job.from;;) {
    const bool finalChunk = job.days <= 0 || daysBetween(run.first, job.to) < job.days;
    run.last = finalChunk ? job.to : run.first + std::chrono::days{job.days - 1};
    progressChunkStarts(run.progress, run.first, run.last);
    if (const ChunksEnd end = exportChunkRetrying(run); end != ChunksEnd::kDone) return end;
    progressChunkEnds(run.progress);
    run.retries = 0;
    run.next = run.last + std::chrono::days{1};
    if (finalChunk) return ChunksEnd::kDone;
    run.pausing = true;
    if (inDBPause(job.delayMs, &run.why) != 0 &&
        !reconnect(run, "the connection was lost in the pause after " +
                            daysText(run.first, run.last) + ": ")) {
      return stopSignal() != 0 ? ChunksEnd::kStopped : ChunksEnd::kConnectionLost;
    }
    if (stopSignal() != 0) return ChunksEnd::kStopped;
    run.pausing = false;
    run.first = run.next;
  }
}

// Connects, trying again while the failure passes and retries are left.
bool connect(Run& run) {
  if (inDBConnect(run.config, &run.why) == 0) return true;
  return connectFailurePasses(run.why) && reconnect(run, "cannot connect: ");
}

void tellWhyItStopped(ChunksEnd end, const Run& run) {
  const std::string days = isoText(run.first) + ".." + isoText(run.last);
  switch (end) {
    case ChunksEnd::kDone: return;
    case ChunksEnd::kStatementFailed:
      tellDatabaseFailure("the statement for " + days + " failed: ", run.why);
      // The server refused it: the translation may have split a name.
      if (!run.why.sqlState.empty()) tellTranslation(run.job.condition, run.job.filter);
      break;
    case ChunksEnd::kConnectionLost:
      tellDatabaseFailure(
          "the connection was lost after " + isoText(run.next - std::chrono::days{1}) + ": ",
          run.why);
      break;
    case ChunksEnd::kSpoolFailed:
      tellError({"the rows of ", days,
                 " cannot be held back until they are complete: ", spoolReason(run.spool)});
      break;
    case ChunksEnd::kOutputFailed:
      tellError(
          {"cannot write the rows of ", days, " to standard output: ", systemError(outputErrno())});
      break;
    case ChunksEnd::kStopped:
      if (run.pausing) {
        tellError(
            {"stopped by ", signalName(stopSignal()), " in the pause after ", isoText(run.last)});
      } else {
        tellError(
            {"stopped by ", signalName(stopSignal()), "; the rows of ", days, " were dropped"});
      }
      break;
  }
  tellResumePoint({run.next, run.next != run.job.from, run.start, run.completeBytes});
}

Outcome outcomeOf(ChunksEnd end) {
  switch (end) {
    case ChunksEnd::kDone: return Outcome::kSuccess;
    case ChunksEnd::kStatementFailed:
    case ChunksEnd::kConnectionLost: return Outcome::kInvalidSql;
    case ChunksEnd::kSpoolFailed: return Outcome::kAllocationFailed;
    case ChunksEnd::kOutputFailed:
    case ChunksEnd::kStopped: break;
  }
  return Outcome::kOutputFailed;
}

}  // namespace

Outcome runExport(const ExportJob& job) {
  keepReleasedMemory();
  DbConfig config{};
  if (const Outcome loaded = inLoadDbConfig(config); loaded != Outcome::kSuccess) return loaded;
  catchStopSignals();
  Run run(job, config);
  run.next = job.from;
  run.start = outputStart();
  if (!connect(run)) {
    if (stopSignal() != 0) {
      tellError({"stopped by ", signalName(stopSignal()), " before the export could connect"});
      endBySignal(stopSignal());
    }
    tellConnectFailure(config, run.why);
    return Outcome::kCannotConnect;
  }
  tellIfSuperuser();
  const ChunksEnd end = exportChunks(run);
  vdDBDisconnect();
  tellWhyItStopped(end, run);
  tellBreakingValues(run.breakingValues, run.breakingFirst, run.breakingLast);
  clearStatus();
  if (end == ChunksEnd::kStopped) endBySignal(stopSignal());
  return outcomeOf(end);
}
