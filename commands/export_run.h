// Running an export: the days in chunks, one statement each, a pause
// between them, and where to go on when it stops early.
#pragma once

#include <string_view>

#include "commands/days.h"
#include "commands/output_format.h"
#include "util/outcome.h"

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
};

// Loads the settings, connects, exports the chunks in order and
// disconnects. A chunk or a connection that fails for a reason that passes
// (a restart, a failover, a lost connection) is tried again after a wait.
// When it stops early it tells why on standard error, and from which day
// and byte to go on. SIGINT, SIGTERM and SIGHUP cancel the statement that
// runs and, once that is told, end the process by the same signal.
// Returns the run's outcome.
Outcome runExport(const ExportJob& job);
