#include "commands/export_settings.h"

#include <cstdlib>
#include <string_view>

#include "util/diagnostics.h"
#include "util/int_arg.h"

namespace {

// What a variable counts and between which bounds.
struct CountRange {
  int least;
  int most;
  const char* unit;  // "retries", "MiB"
};

// Reads the whole number in variable `name` into `count` when it is set
// and within `range`, and says why it is refused when it is not. True when
// it was read.
bool readCount(const EnvironmentLookup& lookup, const char* name, const CountRange& range,
               int& count, std::vector<std::string>& refusals) {
  const char* value = lookup(name);
  if (value == nullptr) return false;
  const int read = atoiClamped(value);
  if (isWholeNumber(value) && read >= range.least && read <= range.most) {
    count = read;
    return true;
  }
  refusals.push_back(std::string(name) + " " + quoted(value) + " is not a whole number of " +
                     range.unit + " from " + std::to_string(range.least) + " to " +
                     std::to_string(range.most));
  return false;
}

}  // namespace

ExportSettings readExportSettings(const EnvironmentLookup& lookup) {
  ExportSettings settings;
  const FormatChoice format = formatFromValue(lookup(kFormatVariable));
  settings.format = format.format;
  if (!format.reason.empty()) settings.refusals.push_back(format.reason);

  (void)readCount(lookup, kRetriesVariable, {0, kMostRetries, "retries"}, settings.retries,
                  settings.refusals);

  if (const char* path = lookup(kOutputVariable); path != nullptr) {
    // Empty is what LUMETTOOL_OUTPUT=$FILE leaves when $FILE is lost: the
    // rows must not go to standard output instead.
    if (*path == '\0') {
      settings.refusals.push_back(std::string(kOutputVariable) +
                                  " is set but empty; set it to a file's path, or unset it");
    } else {
      settings.outputPath = path;
    }
  }

  if (int mib = 0; readCount(lookup, kSpoolMemoryVariable, {1, kMostSpoolMemoryMiB, "MiB"}, mib,
                              settings.refusals)) {
    settings.spoolMemory = static_cast<size_t>(mib) * 1024 * 1024;
  }

  (void)readCount(lookup, kJobsVariable, {1, kMostJobs, "connections"}, settings.jobs,
                  settings.refusals);

  if (const char* dir = lookup("TMPDIR"); dir != nullptr && *dir != '\0') {
    settings.spoolDirectory = dir;
  }
  return settings;
}

const char* processEnvironment(const char* name) { return std::getenv(name); }

ExportSettings exportSettingsFromEnvironment() {
  return readExportSettings(processEnvironment);
}

ExitStatusSetting readExitStatusSetting(const EnvironmentLookup& lookup) {
  const char* value = lookup(kExitStatusVariable);
  if (value == nullptr) return {};
  const std::string_view text(value);
  if (text == "on") return {true, ""};
  if (text == "off") return {};
  if (text.empty()) {
    return {false, std::string(kExitStatusVariable) +
                       " is set but empty; set it to on or off, or unset it"};
  }
  return {false, std::string(kExitStatusVariable) + " " + quoted(text) + " is neither on nor off"};
}

ExitStatusSetting exitStatusSettingFromEnvironment() {
  return readExitStatusSetting(processEnvironment);
}
