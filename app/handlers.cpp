#include "app/handlers.h"

#include "commands/encrypt_api_key.h"
#include "commands/transaction_query.h"
#include "config/db_config.h"
#include "util/diagnostics.h"
#include "util/int_arg.h"
#include "util/output.h"

namespace {

// days and delay-ms as atoi reads them; a value that is not a plain whole
// number is still read so, with a warning that says what came of it.
int readDays(const char* text) {
  const int days = atoiClamped(text);
  if (!isWholeNumber(text)) {
    tellWarning({"days ", quoted(text), " is not a whole number; read as ", std::to_string(days),
                 days <= 0   ? ", one statement for the whole range"
                 : days == 1 ? ", one statement per day"
                             : ", one statement per " + std::to_string(days) + " days"});
  }
  return days;
}

int readDelayMs(const char* text) {
  const int delayMs = atoiClamped(text);
  if (!isWholeNumber(text)) {
    tellWarning({"delay-ms ", quoted(text), " is not a whole number; read as ",
                 std::to_string(delayMs),
                 delayMs <= 0 ? ", no pause between chunks"
                              : ", a pause of " + std::to_string(delayMs) + " ms between chunks"});
  }
  return delayMs;
}

}  // namespace

Outcome runVersion(const Edition& edition, char** /*argv*/) {
  printText(edition.banner);
  return Outcome::kPrinted;
}

Outcome runDbInit(const Edition& /*edition*/, char** argv) {
  return vdDbInit(argv[2], argv[3], argv[4], argv[5], argv[6]);
}

Outcome runEncryptApiKey(const Edition& /*edition*/, char** argv) {
  return vdEncryptApiKey(argv[2]);
}

Outcome runTransactionQueryFiltered(const Edition& /*edition*/, char** argv) {
  const int days = readDays(argv[6]);
  return vdTransactionQuery(argv[2], argv[3], argv[4], argv[5], days, readDelayMs(argv[7]));
}

Outcome runTransactionQueryUnfiltered(const Edition& /*edition*/, char** argv) {
  const int days = readDays(argv[5]);
  return vdTransactionQuery(argv[2], argv[3], argv[4], days, readDelayMs(argv[6]));
}
