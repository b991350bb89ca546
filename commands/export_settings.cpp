#include "commands/export_settings.h"

#include <cstdlib>
#include <string_view>

#include "util/diagnostics.h"
#include "util/int_arg.h"

ExportSettings readExportSettings(const EnvironmentLookup& lookup) {
  ExportSettings settings;
  const FormatChoice format = formatFromValue(lookup(kFormatVariable));
  settings.format = format.format;
  if (!format.reason.empty()) settings.refusals.push_back(format.reason);

  if (const char* value = lookup(kRetriesVariable); value != nullptr) {
    const int retries = atoiClamped(value);
    if (isWholeNumber(value) && retries >= 0 && retries <= kMostRetries) {
      settings.retries = retries;
    } else {
      settings.refusals.push_back(std::string(kRetriesVariable) + " " + quoted(value) +
                                  " is not a whole number of retries from 0 to " +
                                  std::to_string(kMostRetries));
    }
  }

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

  if (const char* value = lookup(kSpoolMemoryVariable); value != nullptr) {
    const int mib = atoiClamped(value);
    if (isWholeNumber(value) && mib >= 1 && mib <= kMostSpoolMemoryMiB) {
      settings.spoolMemory = static_cast<size_t>(mib) * 1024 * 1024;
    } else {
      settings.refusals.push_back(std::string(kSpoolMemoryVariable) + " " + quoted(value) +
                                  " is not a whole number of MiB from 1 to " +
                                  std::to_string(kMostSpoolMemoryMiB));
    }
  }

  if (const char* value = lookup(kJobsVariable); value != nullptr) {
    const int jobs = atoiClamped(value);
    if (isWholeNumber(value) && jobs >= 1 && jobs <= kMostJobs) {
      settings.jobs = jobs;
    } else {
      settings.refusals.push_back(std::string(kJobsVariable) + " " + quoted(value) +
                                  " is not a whole number of connections from 1 to " +
                                  std::to_string(kMostJobs));
    }
  }

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
