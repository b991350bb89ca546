// How a run of the tool ends: every final message it prints on standard
// output, in one place. Handlers return an Outcome; the dispatcher prints it.
#pragma once

#include <string_view>

enum class Outcome {
  kSuccess,
  kInvalidParameters,
  kInvalidCommand,
  kParameterTooLong,
  kCreateConfigFailed,
  kWriteConfigFailed,
  kOpenConfigFailed,
  kReadConfigFailed,
  kDateFromInvalid,
  kDateToInvalid,
  kCannotConnect,
  kInvalidSql,
  kQueryTooLong,
  kInvalidApiKey,
  kAllocationFailed,
  // The same texts as above, for failures of another kind, so that the exit
  // status (with LUMETTOOL_EXIT_STATUS=on) can tell them apart:
  kSqlRefused,            // "Invalid Sql Command": the arguments, before anything was sent
  kCannotConnectRetried,  // "Can't Connect Database": a failure that passes, retries spent
  kInvalidSqlRetried,     // "Invalid Sql Command": a failure that passes, retries spent
  kOutputFileFailed,      // "Allocated Memory Failed": LUMETTOOL_OUTPUT's file failed
  kOutputFileBusy,        // "Invalid Parameters": another run writes LUMETTOOL_OUTPUT's file
  // The handler printed its own text (the banner, the enciphered key).
  kPrinted,
  // Standard output failed: nothing more is printed, the exit status tells.
  kOutputFailed,
};

// The final message of `outcome`, "" for the two that print nothing.
constexpr std::string_view outcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess: return "Success";
    case Outcome::kInvalidParameters:
    case Outcome::kOutputFileBusy: return "Error - Invalid Parameters";
    case Outcome::kInvalidCommand: return "Error - Invalid Command";
    case Outcome::kParameterTooLong: return "Error - Parameter Too Long";
    case Outcome::kCreateConfigFailed: return "Error - Create DB Config File Failed";
    case Outcome::kWriteConfigFailed: return "Error - Write DB Config File Failed";
    case Outcome::kOpenConfigFailed: return "Error - Open DB Config File Failed";
    case Outcome::kReadConfigFailed: return "Error - Read DB Config File Failed";
    case Outcome::kDateFromInvalid: return "Error - Date From Invalid";
    case Outcome::kDateToInvalid: return "Error - Date To Invalid";
    case Outcome::kCannotConnect:
    case Outcome::kCannotConnectRetried: return "Error - Can't Connect Database";
    case Outcome::kInvalidSql:
    case Outcome::kSqlRefused:
    case Outcome::kInvalidSqlRetried: return "Error - Invalid Sql Command";
    case Outcome::kQueryTooLong: return "Error - Query Too Long";
    case Outcome::kInvalidApiKey: return "Error - Invalid Api Key";
    case Outcome::kAllocationFailed:
    case Outcome::kOutputFileFailed: return "Error - Allocated Memory Failed";
    case Outcome::kPrinted:
    case Outcome::kOutputFailed: break;
  }
  return "";
}
