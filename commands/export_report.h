// What the operator is told about an export on standard error: why it
// stopped, that it tries again, from where to go on, and what in its rows
// deserves a word.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "commands/days.h"
#include "config/db_config.h"
#include "commands/export_io.h"
#include "commands/export_run.h"
#include "db/session.h"
#include "util/output.h"

// "2024-01-03", or "2024-01-03..2024-01-09" for more than one day.
std::string daysText(Day first, Day last);

// The server's or libpq's account of a failure: the message after `what`,
// then its detail and hint.
void tellDatabaseFailure(std::string_view what, const DBFailure& failure);

// One warning line: `what` failed for `failure`'s reason, and the export
// tries again, for the `retry`th time of `retries`, in `seconds`.
void tellRetry(std::string_view what, const DBFailure& failure, int retry, int retries,
               int seconds);

// Why connecting failed, and for a host address that is not numeric, what
// to do instead.
void tellConnectFailure(const DbConfig& config, const DBFailure& why);

// The warning for a table `transaction` found outside the search path's
// first schema.
void tellTableSchema(const TableFacts& facts);

// The warning for a connection whose role, `role`, is a superuser.
void tellSuperuser(std::string_view role);

// How far an export got, for the hint that tells how to go on.
struct ResumePoint {
  Day next;                // the first day whose rows are not all out
  bool anyComplete;        // whether any day's rows are
  OutputStart start;       // where this run's output began
  uint64_t completeBytes;  // this run's bytes that hold the complete days
  bool sharedWithErrors;   // standard error goes where standard output does
  std::string_view file;   // the export's own file (LUMETTOOL_OUTPUT), or empty
};

// The hint that lets a script go on exactly where the export stopped: run
// the same command again when the export writes its own file; otherwise
// the day to run again from, and how many bytes of standard output to keep,
// unless standard error's lines are mixed into them.
void tellResumePoint(const ResumePoint& point);

// Why an export that had connected stopped before its end (nothing when it
// did not), and the hint that tells how to go on from `point`.
// `outputReason` says why the rows could not be written when that was not
// standard output's fault.
void tellWhyItStopped(const ExportJob& job, const ExportResult& result, const ResumePoint& point,
                      std::string_view outputReason);

// The name of a stop signal: SIGINT, SIGTERM, SIGHUP.
std::string_view signalName(int signal);
