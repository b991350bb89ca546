// The libpq connection string made from the settings record.
#pragma once

#include <span>

#include "config/db_config.h"

// Large enough for every record: five keywords, each value fully quoted and
// escaped, and the time-out.
inline constexpr int kConnStringSize = 1024;

// Writes "hostaddr=... port=... user=... password=... dbname=...
// connect_timeout=5" into `out`, leaving out empty fields. A value that libpq
// would otherwise split or unescape (blank, quote, backslash) is written in
// single quotes with ' and \ escaped, so it arrives unchanged and never adds
// a keyword. Returns 0, or -1 when `out` is too small or a field is not
// terminated within its width.
int inBuildConnString(const DbConfig& config, std::span<char> out);
