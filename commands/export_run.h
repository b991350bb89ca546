// Running an export: the days in chunks, one statement each, a pause
// between them, and where to go on when it stops early.
#pragma once

#include <string_view>

#include "commands/copy_rows.h"
#include "commands/days.h"
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
};

// The environment variable that sets ExportJob::retries, and its default.
inline constexpr const char* kRetriesVariable = "LUMETTOOL_RETRIES";
inline constexpr int kDefaultRetries = 5;

// Loads the settings, connects, exports the chunks in order and
// disconnects. A chunk or a connection that fails for a reason that passes
// (a restart, a failover, a lost connection) is tried again after a wait.
// When it stops early it tells why on standard error, and from which day
// and byte to go on. SIGINT, SIGTERM and SIGHUP cancel the statement that
// runs and, once that is told, end the process by the same signal.
// Returns the run's outcome.
Outcome runExport(const ExportJob& job);
