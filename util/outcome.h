// How a run of the tool ends: every final message it prints on standard
// output, in one place, and the exit status that tells it to a scheduler.
// Handlers return an Outcome; the dispatcher prints it.
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

// The exit status of `outcome` when LUMETTOOL_EXIT_STATUS=on: 0 for what the
// run was asked for, otherwise the kind of failure, numbered as the EX_
// values of <sysexits.h> are.
constexpr int outcomeExitStatus(Outcome outcome) {
  switch (outcome) {
    // "Success", or the command's own result: the banner, the enciphered key.
    case Outcome::kSuccess:
    case Outcome::kPrinted: return 0;
    // EX_USAGE: the arguments or a LUMETTOOL_ variable refused before
    // anything was read or sent.
    case Outcome::kInvalidParameters:
    case Outcome::kInvalidCommand:
    case Outcome::kParameterTooLong:
    case Outcome::kDateFromInvalid:
    case Outcome::kDateToInvalid:
    case Outcome::kQueryTooLong:
    case Outcome::kInvalidApiKey:
    case Outcome::kSqlRefused: return 64;
    // EX_DATAERR: the server refused or failed a statement.
    case Outcome::kInvalidSql: return 65;
    // EX_UNAVAILABLE: no connection, for a reason that does not pass.
    case Outcome::kCannotConnect: return 69;
    // EX_CANTCREAT: db_init could not create or write the settings file.
    case Outcome::kCreateConfigFailed:
    case Outcome::kWriteConfigFailed: return 73;
    // EX_IOERR: standard output, the output file or the spool failed.
    case Outcome::kAllocationFailed:
    case Outcome::kOutputFileFailed:
    case Outcome::kOutputFailed: return 74;
    // EX_TEMPFAIL: a failure that passes outlasted the retries, or another
    // run writes the output file: the same run later may go through.
    case Outcome::kCannotConnectRetried:
    case Outcome::kInvalidSqlRetried:
    case Outcome::kOutputFileBusy: return 75;
    // EX_CONFIG: the settings file could not be opened or read.
    case Outcome::kOpenConfigFailed:
    case Outcome::kReadConfigFailed: return 78;
  }
  return 74;
}
