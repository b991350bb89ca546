#include "app/handlers.h"

#include "commands/encrypt_api_key.h"
#include "commands/transaction_query.h"
#include "config/db_config.h"
#include "util/int_arg.h"
#include "util/output.h"

void vdRunVersion(const Edition& edition, char** /*argv*/) { inPrintText(edition.banner); }

void vdRunDbInit(const Edition& /*edition*/, char** argv) {
  vdDbInit(argv[2], argv[3], argv[4], argv[5], argv[6]);
}

void vdRunEncryptApiKey(const Edition& /*edition*/, char** argv) { vdEncryptApiKey(argv[2]); }

void vdRunTransactionQueryFiltered(const Edition& /*edition*/, char** argv) {
  vdUseLargeOutputBuffer();
  inPrintText(outcomeText(vdTransactionQuery(argv[2], argv[3], argv[4], argv[5],
                                             inAtoiClamped(argv[6]), inAtoiClamped(argv[7]))));
}

void vdRunTransactionQueryUnfiltered(const Edition& /*edition*/, char** argv) {
  vdUseLargeOutputBuffer();
  inPrintText(outcomeText(vdTransactionQuery(argv[2], argv[3], argv[4], inAtoiClamped(argv[5]),
                                             inAtoiClamped(argv[6]))));
}
