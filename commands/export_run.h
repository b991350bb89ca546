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
};

// Loads the settings, connects, exports the chunks in order and
// disconnects. When it stops early it tells why on standard error, and from
// which day to go on. Returns the run's outcome.
Outcome runExport(const ExportJob& job);
