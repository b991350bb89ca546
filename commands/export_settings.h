// The export's settings of the tool's own, read from the environment once,
// all of them, before anything else is: the output format, the retries, the
// directory of the chunk's spool and the output file; and the one every
// command reads, how the exit status is told.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "commands/output_format.h"
#include "db/session.h"
#include "util/spool.h"

inline constexpr const char* kRetriesVariable = "LUMETTOOL_RETRIES";
inline constexpr int kDefaultRetries = 5;
// More would keep a job waiting for a server for hours.
inline constexpr int kMostRetries = 100;

// The file the export writes its rows to, by way of FILE.part and a
// checkpoint after each chunk (util/resumable_file.h), instead of standard
// output.
inline constexpr const char* kOutputVariable = "LUMETTOOL_OUTPUT";

// How many MiB of a chunk the spool keeps in memory before it goes on in
// a temporary file, from 1 to kMostSpoolMemoryMiB.
inline constexpr const char* kSpoolMemoryVariable = "LUMETTOOL_SPOOL_MEMORY";
inline constexpr int kMostSpoolMemoryMiB = 4096;

// How many connections an export reads the next chunks' statements on,
// ahead of the chunk being written out, from 1 (one chunk at a time) to
// kMostJobs.
inline constexpr const char* kJobsVariable = "LUMETTOOL_JOBS";
inline constexpr int kMostJobs = 16;
static_assert(kMostJobs <= static_cast<int>(kMostSessions), "a reader is a session");

// Where a chunk that outgrows its memory goes when TMPDIR is unset or empty.
inline constexpr const char* kDefaultSpoolDirectory = "/tmp";

struct ExportSettings {
  OutputFormat format = OutputFormat::kText;
  int retries = kDefaultRetries;
  std::string spoolDirectory = kDefaultSpoolDirectory;
  std::string outputPath;  // empty: standard output
  size_t spoolMemory = kSpoolMemory;
  int jobs = 1;
  // Why each refused variable is refused, one line each, in the order above;
  // the settings are good to use only when this is empty.
  std::vector<std::string> refusals;
};

// A variable's value by its name, nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// The process's own environment, as a lookup: the one place that reads it.
const char* processEnvironment(const char* name);

// Reads every setting through `lookup`, refusing what cannot be used.
ExportSettings readExportSettings(const EnvironmentLookup& lookup);

// The same from the process's environment.
ExportSettings exportSettingsFromEnvironment();

inline constexpr const char* kExitStatusVariable = "LUMETTOOL_EXIT_STATUS";

// Whether the exit status tells the kind of failure (the variable is "on")
// or stays 0 after every final message (unset, or "off"). Any other value,
// an empty one included, is refused with its reason, and read as off.
struct ExitStatusSetting {
  bool byOutcome = false;
  std::string refusal;
};

// Reads kExitStatusVariable through `lookup`; every command of every
// edition reads it, before anything else.
ExitStatusSetting readExitStatusSetting(const EnvironmentLookup& lookup);

// The same from the process's environment.
ExitStatusSetting exitStatusSettingFromEnvironment();
