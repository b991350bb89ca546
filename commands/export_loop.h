// What the chunk loop's two ways of running share: reading one chunk at a
// time (export_run.cpp) and reading ahead on more connections
// (read_ahead.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "commands/export_io.h"
#include "commands/export_progress.h"
#include "commands/export_run.h"
#include "util/client_encoding.h"
#include "util/spool.h"

// What an export carries from chunk to chunk.
struct Run {
  Run(ExportIo& exportIo, const ExportJob& exportJob)
      : io(exportIo), job(exportJob), spool(exportJob.spoolDirectory, exportJob.spoolMemory) {}

  ExportIo& io;
  const ExportJob& job;
  Spool spool;  // the current chunk's lines
  ExportProgress progress;
  ExportResult result;
  int retries = 0;  // spent since the last chunk that went through
  // The datetime column tells moments within a day (not a date), so that a
  // chunk can be read in slices of its time range.
  bool withinDays = true;
};

// Rows are counted on the status line this many at a time.
inline constexpr int kRowsPerProgress = 4096;

int chunkCount(const ExportJob& job);

// The days of the chunk that starts on `first`, and whether it is the last.
Day chunkLast(const ExportJob& job, Day first, bool& finalChunk);

// The encoding the current chunk's rows come in, once the session is
// found to read the field list and the filter as they were rewritten;
// false, with the refusal in run.result.why, when it does not.
bool sessionEncoding(Run& run, ClientEncoding& encoding);

// The current chunk (result.first..last) is out: `written` bytes more are
// complete, and `breaking` values that hold '|' or a line break were in it.
void chunkWentOut(ExportResult& result, uint64_t written, size_t breaking);

// After a failure that passes (run.result.why, told as `what`): waits,
// connects again and returns true, as long as retries are left.
bool reconnect(Run& run, std::string what);

// Exports the chunks from job.from on, reading the statements of the next
// ones on up to job.jobs connections while earlier ones are written out.
ChunksEnd exportChunksAhead(Run& run);
