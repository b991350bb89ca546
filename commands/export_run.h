// Running an export: the days in chunks, one statement each, a pause
// between them, and where to go on when it stops early.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "commands/days.h"
#include "commands/export_io.h"
#include "commands/output_format.h"
#include "util/outcome.h"
#include "util/spool.h"

struct ExportJob {
  std::string_view fields;  // the select list and the filter, checked
  std::string_view filter;
  std::string_view condition;  // as typed, for telling what its translation did; empty in 2.0
  OutputFormat format;
  Day from;  // the range's first and last day
  Day to;
  int days;     // chunk length in days; 0 or less: the whole range at once
  int delayMs;  // pause after each chunk but the last
  int retries;  // how often a chunk or a connection that failed for a reason
                // that passes is tried again
  std::string_view spoolDirectory;  // where a chunk too large for memory is held
  size_t spoolMemory = kSpoolMemory;  // how much of a chunk is held in memory
  std::string_view outputPath;      // the export's own file; empty: standard output
  // The client encoding the field list and the filter were rewritten for,
  // and how libpq's environment asked for it (commands/session_encoding.h).
  ClientEncoding encoding = ClientEncoding::kAsciiSafe;
  std::string_view encodingAsked;
  // Connections to read the next chunks' statements on, ahead of the one
  // being written out; 1 reads one chunk at a time.
  int jobs = 1;
};

// Why the chunks stopped.
enum class ChunksEnd {
  kDone,
  kCannotConnect,  // the first connection, retries spent
  kStatementFailed,
  kConnectionLost,  // in the pause, or while connecting again
  kSpoolFailed,
  kOutputFailed,
  kStopped,  // by a stop signal
  kTableRefused,  // the table or its datetime column cannot bound the days
};

// How far an export got.
struct ExportResult {
  ChunksEnd end = ChunksEnd::kDone;
  bool connected = false;      // whether the first connection was made
  bool pausing = false;        // it stopped between chunks or waiting to retry
  Day first{};                 // the chunk it was in when it stopped
  Day last{};
  Day next{};                  // the first day whose rows are not all out
  uint64_t completeBytes = 0;  // output that holds the days before `next`, whole
  DBFailure why;               // the database's account of a failure
  std::string spoolReason;     // why the spool failed
  // Values printed that hold '|' or a line break, and the days of the
  // chunk where the first of them was.
  uint64_t breakingValues = 0;
  Day breakingFirst{};
  Day breakingLast{};
};

// Connects through `io`, exports the chunks in order and disconnects. A
// chunk or a connection that fails for a reason that passes (a restart, a
// failover, a lost connection) is tried again after a wait, up to
// job.retries times in a row. A chunk's lines are written out only once its
// statement has succeeded, so the output holds whole chunks only.
ExportResult runChunks(ExportIo& io, const ExportJob& job);

// Loads the settings and runs the chunks on libpq and standard output.
// Loads the settings, connects, exports the chunks in order and
// disconnects. A chunk or a connection that fails for a reason that passes
// (a restart, a failover, a lost connection) is tried again after a wait.
// When it stops early it tells why on standard error, and from which day
// and byte to go on. SIGINT, SIGTERM and SIGHUP cancel the statement that
// runs and, once that is told, end the process by the same signal.
// Returns the run's outcome.
Outcome runExport(const ExportJob& job);
