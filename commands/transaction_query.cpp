#include "commands/transaction_query.h"

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "commands/condition.h"
#include "commands/days.h"
#include "commands/export_run.h"
#include "commands/export_settings.h"
#include "commands/session_encoding.h"
#include "commands/statement.h"
#include "util/diagnostics.h"

namespace {

// Reads a day argument, telling why it is refused.
bool readDay(const char* arg, std::string_view name, Day& day) {
  const DayArg read = parseDayArg(arg);
  if (!read.fault.empty()) {
    tellError({name, " ", quoted(arg), ": ", read.fault});
    return false;
  }
  day = read.day;
  // Read as it always was, by its first eight characters, but not silently.
  if (const size_t length = std::strlen(arg); length > 8) {
    tellWarning({name, " ", quoted(arg), " has ", std::to_string(length),
                 " characters: read by its first eight, as ", isoText(day),
                 "; the rest is ignored"});
  }
  return true;
}

// Why a text would not fit its buffer: the filter's or the statement's.
void tellTooLong(std::string_view what, size_t length, size_t bufferSize) {
  const size_t limit = bufferSize - 1;
  tellError({what, " would be ", std::to_string(length), " bytes, ", std::to_string(length - limit),
             " more than the ", std::to_string(limit), " it may have"});
}

// Checks and rewrites the arguments, then runs the export; `condition` is
// null in edition 2.0. Everything that can be refused is refused before
// the settings are read.
Outcome query(char* fields, const char* condition, const char* dateFrom, const char* dateTo,
              int days, int delayMs) {
  ExportJob job{};
  if (!readDay(dateFrom, "date-from", job.from)) return Outcome::kDateFromInvalid;
  if (!readDay(dateTo, "date-to", job.to)) return Outcome::kDateToInvalid;
  if (job.to < job.from) {
    tellWarning({"date-from ", isoText(job.from), " is after date-to ", isoText(job.to),
                 ": the range is empty"});
  }
  // Rewritten for the client encoding the session is expected to have; each
  // chunk checks that it has it.
  const ExpectedEncoding encoding =
      expectedClientEncoding(processEnvironment);
  lowerOutsideQuotes(fields, encoding.encoding);
  const std::string_view select = selectList(fields);
  std::array<char, kConditionSize> filter{};
  if (condition != nullptr) {
    if (const size_t length = translateCondition(condition, filter, encoding.encoding);
        length >= filter.size()) {
      tellTooLong("the condition, rewritten,", length, kConditionSize);
      return Outcome::kQueryTooLong;
    }
  }
  if (const QueryTextRefusal refusal = checkQueryText(select, filter.data(), encoding.encoding);
      !refusal.error.empty()) {
    tellError({refusal.error});
    tellHint({refusal.hint});
    return Outcome::kSqlRefused;
  }
  // Every chunk's statement is as long as this one.
  std::array<char, kStatementSize> statement{};
  if (const size_t length = buildStatement(select, filter.data(), job.from, job.to, statement);
      length >= statement.size()) {
    tellTooLong("the statement", length, kStatementSize);
    return Outcome::kQueryTooLong;
  }
  // Every variable is checked, so that one run tells of all the bad ones.
  const ExportSettings settings = exportSettingsFromEnvironment();
  for (const std::string& refusal : settings.refusals) tellError({refusal});
  if (!settings.refusals.empty()) return Outcome::kInvalidParameters;
  job.format = settings.format;
  job.retries = settings.retries;
  job.spoolDirectory = settings.spoolDirectory;
  job.outputPath = settings.outputPath;
  job.spoolMemory = settings.spoolMemory;
  job.jobs = settings.jobs;
  // With a pause between chunks they are read one at a time: said, so that
  // the setting is not taken for one that works.
  if (settings.jobs > 1 && delayMs > 0) {
    tellWarning({kJobsVariable, "=", std::to_string(settings.jobs), " is not used: with a delay of ",
                 std::to_string(delayMs), " ms between chunks they are read one at a time"});
  }
  job.fields = select;
  job.filter = filter.data();
  if (condition != nullptr) job.condition = condition;
  job.days = days;
  job.delayMs = delayMs;
  job.encoding = encoding.encoding;
  job.encodingAsked = encoding.asked;
  return runExport(job);
}

}  // namespace

Outcome vdTransactionQuery(char* pszFields, char* pszCondition, char* pszDateFrom,
                           const char* pszDateTo, int inDays, int inDelayMs) {
  return query(pszFields, pszCondition, pszDateFrom, pszDateTo, inDays, inDelayMs);
}

Outcome vdTransactionQuery(char* pszFields, char* pszDateFrom, const char* pszDateTo, int inDays,
                           int inDelayMs) {
  return query(pszFields, nullptr, pszDateFrom, pszDateTo, inDays, inDelayMs);
}
