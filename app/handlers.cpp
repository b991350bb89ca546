#include "app/handlers.h"

#include "commands/encrypt_api_key.h"
#include "commands/transaction_query.h"
#include "config/db_config.h"
#include "util/int_arg.h"
#include "util/output.h"

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
  return vdTransactionQuery(argv[2], argv[3], argv[4], argv[5], atoiClamped(argv[6]),
                            atoiClamped(argv[7]));
}

Outcome runTransactionQueryUnfiltered(const Edition& /*edition*/, char** argv) {
  return vdTransactionQuery(argv[2], argv[3], argv[4], atoiClamped(argv[5]), atoiClamped(argv[6]));
}
