#include "commands/export_run.h"

#include <algorithm>
#include <array>
#include <string>

#include "commands/export_loop.h"
#include "commands/export_progress.h"
#include "commands/export_report.h"
#include "commands/libpq_export_io.h"
#include "commands/session_encoding.h"
#include "commands/statement.h"
#include "config/db_config.h"
#include "db/db_access.h"
#include "db/passing_failures.h"
#include "util/stop_signals.h"
#include "util/diagnostics.h"
#include "util/output.h"
#include "util/program_name.h"
#include "util/resumable_file.h"
#include "util/spool.h"

namespace {

// The wait before each retry doubles up to this.
constexpr int kLongestRetryWaitSeconds = 16;

}  // namespace

int chunkCount(const ExportJob& job) {
  const int span = daysBetween(job.from, job.to) + 1;
  if (job.days <= 0 || span <= 1) return 1;
  return (span - 1) / job.days + 1;
}

Day chunkLast(const ExportJob& job, Day first, bool& finalChunk) {
  finalChunk = job.days <= 0 || daysBetween(first, job.to) < job.days;
  return finalChunk ? job.to : first + std::chrono::days{job.days - 1};
}

bool sessionEncoding(Run& run, ClientEncoding& encoding) {
  // The rows come in the session's encoding, and the statement must read in
  // it as the field list and the filter were rewritten.
  const std::string named = run.io.clientEncoding();
  if (const QueryTextRefusal refused = encodingMismatch(
          run.job.fields, run.job.condition, run.job.encoding, run.job.encodingAsked, named);
      !refused.error.empty()) {
    run.result.why = {refused.error, "", refused.hint, "", false};
    return false;
  }
  encoding = clientEncodingNamed(named);
  return true;
}

void chunkWentOut(ExportResult& result, uint64_t written, size_t breaking) {
  result.completeBytes += written;
  if (breaking > 0 && result.breakingValues == 0) {
    result.breakingFirst = result.first;
    result.breakingLast = result.last;
  }
  result.breakingValues += breaking;
}

bool reconnect(Run& run, std::string what) {
  ExportResult& result = run.result;
  for (;;) {
    if (run.retries >= run.job.retries || run.io.stopSignal() != 0) return false;
    ++run.retries;
    const int seconds = std::min(1 << std::min(run.retries - 1, 4), kLongestRetryWaitSeconds);
    tellRetry(what, result.why, run.retries, run.job.retries, seconds);
    run.io.disconnect();
    run.io.wait(seconds * 1000);
    if (run.io.stopSignal() != 0) return false;
    if (run.io.connect(result.why) == 0) return true;
    if (!connectFailurePasses(result.why)) return false;
    what = "cannot connect: ";
  }
}

namespace {

// Streams the rows of the current chunk into the spool. The statement's end
// is read (or the statement cancelled) and its transaction ended whatever
// happened.
ChunksEnd spoolChunk(Run& run, size_t& breaking) {
  ExportResult& result = run.result;
  ClientEncoding encoding{};
  if (!sessionEncoding(run, encoding)) return ChunksEnd::kStatementFailed;
  std::array<char, kStatementSize> statement{};
  (void)buildStatement(run.job.fields, run.job.filter, result.first,
                       result.last + std::chrono::days{1}, statement);
  if (run.io.copyBegin(statement.data(), result.why) != 0) {
    (void)run.io.copyEnd(result.why);
    return ChunksEnd::kStatementFailed;
  }
  int got = 0;
  int sinceShown = 0;
  bool spooled = true;
  std::span<char> row;
  // A stop that came between two rows, where no statement ran to be
  // cancelled, ends the rows here; copyEnd cancels the rest.
  while (spooled && run.io.stopSignal() == 0 && (got = run.io.copyRow(row, result.why)) == 1) {
    spooled = spoolCopyRow(run.spool, row, run.job.format, encoding, breaking);
    if (++sinceShown == kRowsPerProgress) {
      progressRowsArrived(run.progress, sinceShown);
      sinceShown = 0;
    }
  }
  progressRowsArrived(run.progress, sinceShown);
  const bool ended = run.io.copyEnd(result.why) == 0;
  if (!spooled) return ChunksEnd::kSpoolFailed;
  return got == 0 && ended ? ChunksEnd::kDone : ChunksEnd::kStatementFailed;
}

// Exports the current chunk: its lines are written out only once its
// statement has succeeded, so a chunk that fails writes none of them. A
// chunk whose lines were written counts as done, whatever came meanwhile.
ChunksEnd exportChunkOnce(Run& run) {
  ExportResult& result = run.result;
  result.why = {};
  spoolReset(run.spool);
  size_t breaking = 0;
  const ChunksEnd spooled = spoolChunk(run, breaking);
  if (spooled == ChunksEnd::kSpoolFailed) {
    result.spoolReason = spoolReason(run.spool);
    // Written straight into the output, the rows failed there.
    if (run.spool.outputFailed) return ChunksEnd::kOutputFailed;
  }
  if (spooled != ChunksEnd::kDone) return spooled;
  if (run.io.stopSignal() != 0) return ChunksEnd::kStopped;
  const SpoolOut out = run.io.writeOut(run.spool, result.last + std::chrono::days{1}, true);
  if (out.fault == SpoolOutFault::kSpool) {
    result.spoolReason = spoolReason(run.spool);
    return ChunksEnd::kSpoolFailed;
  }
  if (out.fault == SpoolOutFault::kOutput) {
    result.spoolReason = spoolReason(run.spool);
    return ChunksEnd::kOutputFailed;
  }
  chunkWentOut(result, out.written, breaking);
  return ChunksEnd::kDone;
}

// The same, and a chunk that did not get through is cut back off the
// output its rows were written straight into.
ChunksEnd exportChunk(Run& run) {
  const ChunksEnd end = exportChunkOnce(run);
  if (end != ChunksEnd::kDone) (void)spoolCutBack(run.spool);
  return end;
}

// Exports the current chunk, again from its start as long as it fails for
// reasons that pass and retries are left.
ChunksEnd exportChunkRetrying(Run& run) {
  const ExportResult& result = run.result;
  for (;;) {
    const ChunksEnd end = exportChunk(run);
    if (end == ChunksEnd::kDone) return end;
    if (run.io.stopSignal() != 0) return ChunksEnd::kStopped;
    if (end != ChunksEnd::kStatementFailed || !chunkFailurePasses(result.why)) return end;
    const std::string what =
        "the statement for " + isoText(result.first) + ".." + isoText(result.last) + " failed: ";
    if (!reconnect(run, what)) {
      return run.io.stopSignal() != 0 ? ChunksEnd::kStopped : ChunksEnd::kStatementFailed;
    }
  }
}

// Exports one statement over the whole range, or consecutive chunks of
// whole days with a pause after each but the last.
ChunksEnd exportChunks(Run& run) {
  const ExportJob& job = run.job;
  ExportResult& result = run.result;
  progressBegins(run.progress, chunkCount(job));
  for (result.first = job.from;;) {
    bool finalChunk = false;
    result.last = chunkLast(job, result.first, finalChunk);
    progressChunkStarts(run.progress, result.first, result.last);
    if (const ChunksEnd end = exportChunkRetrying(run); end != ChunksEnd::kDone) return end;
    progressChunkEnds(run.progress);
    run.retries = 0;
    result.next = result.last + std::chrono::days{1};
    if (finalChunk) return ChunksEnd::kDone;
    result.pausing = true;
    if (run.io.stopSignal() != 0) return ChunksEnd::kStopped;
    if (run.io.pause(job.delayMs, result.why) != 0 &&
        !reconnect(run, "the connection was lost in the pause after " +
                            daysText(result.first, result.last) + ": ")) {
      return run.io.stopSignal() != 0 ? ChunksEnd::kStopped : ChunksEnd::kConnectionLost;
    }
    if (run.io.stopSignal() != 0) return ChunksEnd::kStopped;
    result.pausing = false;
    result.first = result.next;
  }
}

// Looks up the table once before the first chunk, trying again while the
// failure passes and retries are left: a table found outside the search
// path's first schema is told, a datetime column the days cannot bound is
// refused.
ChunksEnd checkTable(Run& run) {
  ExportResult& result = run.result;
  for (;;) {
    TableFacts facts;
    if (run.io.lookUpTable(facts, result.why) == 0) {
      run.retries = 0;
      if (!facts.datetimeDays) {
        result.why = {"its column datetime is of type " + facts.datetimeType +
                          ", which whole days cannot bound; it must be timestamp, timestamptz "
                          "or date",
                      "", "", "", false};
        return ChunksEnd::kTableRefused;
      }
      if (facts.schema != facts.firstSchema) tellTableSchema(facts);
      run.withinDays = facts.datetimeType != "date";
      return ChunksEnd::kDone;
    }
    if (run.io.stopSignal() != 0) return ChunksEnd::kStopped;
    if (!chunkFailurePasses(result.why)) return ChunksEnd::kTableRefused;
    if (!reconnect(run, "the look-up of the table transaction failed: ")) {
      return run.io.stopSignal() != 0 ? ChunksEnd::kStopped : ChunksEnd::kTableRefused;
    }
  }
}

// Connects, trying again while the failure passes and retries are left.
bool connect(Run& run) {
  if (run.io.connect(run.result.why) == 0) return true;
  return connectFailurePasses(run.result.why) && reconnect(run, "cannot connect: ");
}

// `toFile`: the rows went to the export's own file, whose failure has a
// message; standard output's failure leaves none.
Outcome outcomeOf(const ExportResult& result, bool toFile) {
  switch (result.end) {
    case ChunksEnd::kDone: return Outcome::kSuccess;
    case ChunksEnd::kCannotConnect:
      return connectFailurePasses(result.why) ? Outcome::kCannotConnectRetried
                                              : Outcome::kCannotConnect;
    case ChunksEnd::kStatementFailed:
    case ChunksEnd::kTableRefused:
      return chunkFailurePasses(result.why) ? Outcome::kInvalidSqlRetried : Outcome::kInvalidSql;
    case ChunksEnd::kConnectionLost: return Outcome::kInvalidSqlRetried;
    case ChunksEnd::kSpoolFailed: return Outcome::kAllocationFailed;
    case ChunksEnd::kOutputFailed:
      return toFile ? Outcome::kOutputFileFailed : Outcome::kOutputFailed;
    case ChunksEnd::kStopped: break;
  }
  return Outcome::kOutputFailed;
}

}  // namespace

ExportResult runChunks(ExportIo& io, const ExportJob& job) {
  Run run(io, job);
  run.result.next = job.from;
  run.result.first = job.from;
  run.result.last = job.to;
  if (!connect(run)) {
    run.result.end = io.stopSignal() != 0 ? ChunksEnd::kStopped : ChunksEnd::kCannotConnect;
    return run.result;
  }
  run.result.connected = true;
  if (const int straight = io.straightOutput(); straight >= 0) {
    spoolWriteStraightTo(run.spool, straight);
  }
  if (std::string role; io.connectedAsSuperuser(role)) tellSuperuser(role);
  run.result.end = checkTable(run);
  // With a pause between chunks, they stay one at a time.
  const bool ahead = job.jobs > 1 && job.delayMs <= 0;
  if (run.result.end == ChunksEnd::kDone) {
    run.result.end = ahead ? exportChunksAhead(run) : exportChunks(run);
  }
  io.disconnect();
  return run.result;
}

namespace {

// Opens the export's own file, taking it over from an earlier run of the
// same export where that stopped: `resumed` then starts where it did.
Outcome openOutputFile(const ExportJob& job, ResumableFile& file, ExportJob& resumed) {
  const std::string from = argumentText(job.from);
  const std::string to = argumentText(job.to);
  const std::string days = std::to_string(std::max(job.days, 0));
  const std::array<IdentityField, 7> identity{{
      {"program", programName()},
      {"fields", job.fields},
      {"condition", job.condition},
      {"from", from},
      {"to", to},
      {"days", days},
      {"format", formatName(job.format)},
  }};
  if (!resumableOpen(file, std::string(job.outputPath), identity)) {
    tellError({file.reason});
    return file.busy ? Outcome::kOutputFileBusy : Outcome::kOutputFileFailed;
  }
  if (!file.warning.empty()) tellWarning({file.warning});
  if (!file.resumeFrom.empty()) {
    const DayArg day = parseDayArg(file.resumeFrom.c_str());
    if (!day.fault.empty()) {
      tellError({"the checkpoint of ", quoted(file.partPath, 256), " names no day to go on from"});
      return Outcome::kOutputFileFailed;
    }
    resumed.from = day.day;
  }
  return Outcome::kSuccess;
}

}  // namespace

Outcome runExport(const ExportJob& job) {
  keepReleasedMemory();
  DbConfig config{};
  if (const Outcome loaded = inLoadDbConfig(config); loaded != Outcome::kSuccess) return loaded;
  // One run per file, decided before connecting.
  const bool toFile = !job.outputPath.empty();
  ResumableFile file;
  ExportJob resumed = job;
  if (toFile) {
    if (const Outcome opened = openOutputFile(job, file, resumed); opened != Outcome::kSuccess) {
      return opened;
    }
  }
  catchStopSignals();
  const OutputStart start = outputStart();
  LibpqExportIo io(config, toFile ? &file : nullptr);
  ExportResult result;
  if (toFile && !file.resumeFrom.empty() && resumed.from > job.to) {
    // Every chunk was in; only making the file whole was left.
    result.connected = true;
    result.next = resumed.from;
  } else {
    result = runChunks(io, resumed);
  }
  if (!result.connected) {
    if (result.end == ChunksEnd::kStopped) {
      tellError({"stopped by ", signalName(stopSignal()), " before the export could connect"});
      endBySignal(stopSignal());
    }
    tellConnectFailure(config, result.why);
    return outcomeOf(result, toFile);
  }
  const ResumePoint point{result.next,       result.next != job.from, start,
                          result.completeBytes, errorsShareOutput(),  job.outputPath};
  const std::string& outputReason = io.fileReason().empty() && toFile ? result.spoolReason
                                                                      : io.fileReason();
  tellWhyItStopped(job, result, point, outputReason);
  tellBreakingValues(result.breakingValues, result.breakingFirst, result.breakingLast);
  clearStatus();
  if (result.end == ChunksEnd::kDone && toFile && !resumableFinish(file)) {
    tellError({file.reason});
    return Outcome::kOutputFileFailed;
  }
  if (result.end == ChunksEnd::kStopped) endBySignal(stopSignal());
  return outcomeOf(result, toFile);
}
