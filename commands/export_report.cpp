#include "commands/export_report.h"

#include <csignal>
#include <cstring>

#include "commands/condition.h"
#include "commands/export_settings.h"
#include "commands/output_format.h"
#include "db/conn_string.h"
#include "util/stop_signals.h"
#include "util/diagnostics.h"
#include "util/numeric_address.h"

std::string daysText(Day first, Day last) {
  return first == last ? isoText(first) : isoText(first) + ".." + isoText(last);
}

void tellDatabaseFailure(std::string_view what, const DBFailure& failure) {
  tellError({what, failure.message});
  if (!failure.detail.empty()) tellDetail({failure.detail});
  if (!failure.hint.empty()) tellHint({failure.hint});
}

void tellRetry(std::string_view what, const DBFailure& failure, int retry, int retries,
               int seconds) {
  // One line: libpq's further lines (which host, which address) stay out.
  const std::string_view reason =
      std::string_view(failure.message).substr(0, failure.message.find('\n'));
  tellWarning({what, reason, "; retry ", std::to_string(retry), " of ", std::to_string(retries),
               " in ", std::to_string(seconds), " s"});
}

void tellConnectFailure(const DbConfig& config, const DBFailure& why) {
  tellDatabaseFailure("cannot connect: ", why);
  // The address must be numeric: libpq looks no name up for it.
  const std::string_view address(config.szHostAddr.data(),
                                 strnlen(config.szHostAddr.data(), config.szHostAddr.size()));
  if (!address.empty() && !isNumericAddress(address)) {
    tellHint({"the host address in ", kDbConfigPath, " must be an IP address, not ",
              quoted(address), "; leave it empty and put a host name in PGHOST"});
  }
}

void tellTableSchema(const TableFacts& facts) {
  // A schema put first in the search path (PGOPTIONS, the role's settings)
  // may hold a table of the same name, or miss the one that was meant.
  const std::string first = facts.firstSchema.empty()
                                ? std::string("the search path names no schema that exists")
                                : "the search path's first schema is " + quoted(facts.firstSchema);
  tellWarning({"the table transaction the export reads is the one in the schema ",
               quoted(facts.schema), "; ", first});
}

void tellSuperuser(std::string_view role) {
  // READ ONLY and the rollback do not hold a superuser back: its functions
  // reach the server's files, replication slots and other sessions.
  tellWarning({"connected as ", quoted(role),
               ", a superuser: read-only transactions do not "
               "stop a superuser's functions; export with a role that may only SELECT"});
}

void tellResumePoint(const ResumePoint& point) {
  const std::string next = argumentText(point.next);
  const std::string held = point.anyComplete
                               ? "the rows up to " + isoText(point.next - std::chrono::days{1})
                               : std::string("no rows of this run");
  if (!point.file.empty()) {
    tellHint({"to go on, run the same command again: ", quoted(std::string(point.file) + ".part", 256),
              " keeps ", point.anyComplete ? held : std::string("no rows yet"),
              " and the export goes on from ", isoText(point.next)});
  } else if (point.sharedWithErrors) {
    // The lines on standard error are among the rows: a count of bytes
    // would cut in the wrong place.
    tellHint({"to go on, keep ", held, " and run again with date-from ", next,
              "; no byte count can be given, as standard error goes to the same place as the rows; ",
              "with ", kOutputVariable, "=FILE the export keeps its file itself"});
  } else if (point.start.regularFile) {
    const std::string size = std::to_string(point.start.offset + point.completeBytes);
    tellHint({"to go on, cut standard output back to its first ", size, " bytes (truncate -s ",
              size, " FILE), which hold ", held, ", and run again with date-from ", next,
              " appending to it (>>)"});
  } else {
    tellHint({"to go on, keep the first ", std::to_string(point.completeBytes),
              " bytes this run wrote to standard output, which hold ", held,
              ", and run again with date-from ", next, " appending to them"});
  }
}

void tellWhyItStopped(const ExportJob& job, const ExportResult& result, const ResumePoint& point,
                      std::string_view outputReason) {
  const std::string days = isoText(result.first) + ".." + isoText(result.last);
  switch (result.end) {
    case ChunksEnd::kDone:
    case ChunksEnd::kCannotConnect: return;
    case ChunksEnd::kStatementFailed:
      tellDatabaseFailure("the statement for " + days + " failed: ", result.why);
      // The server refused it: the translation may have split a name.
      if (!result.why.sqlState.empty()) tellTranslation(job.condition, job.filter, job.encoding);
      break;
    case ChunksEnd::kTableRefused:
      // Nothing was exported, and every run would stop here alike.
      tellDatabaseFailure("the table transaction cannot be exported: ", result.why);
      return;
    case ChunksEnd::kConnectionLost:
      tellDatabaseFailure(
          "the connection was lost after " + isoText(result.next - std::chrono::days{1}) + ": ",
          result.why);
      break;
    case ChunksEnd::kSpoolFailed:
      tellError({"the rows of ", days,
                 " cannot be held back until they are complete: ", result.spoolReason});
      tellHint({"set TMPDIR to a directory with room for the chunk, raise ",
                kSpoolMemoryVariable, " (MiB kept in memory), or export fewer days per chunk"});
      break;
    case ChunksEnd::kOutputFailed:
      if (outputReason.empty()) {
        tellError({"cannot write the rows of ", days, " to standard output: ",
                   systemError(outputErrno())});
      } else {
        tellError({"cannot write the rows of ", days, ": ", outputReason});
      }
      break;
    case ChunksEnd::kStopped:
      if (result.pausing) {
        tellError({"stopped by ", signalName(stopSignal()), " in the pause after ",
                   isoText(result.last)});
      } else {
        tellError({"stopped by ", signalName(stopSignal()), "; the rows of ", days,
                   " were dropped"});
      }
      break;
  }
  tellResumePoint(point);
}

std::string_view signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: break;
  }
  return "a signal";
}
