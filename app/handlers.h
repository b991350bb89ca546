// Adapters from the argument vector to each command's handler.
#pragma once

#include "app/dispatch.h"

Outcome runVersion(const Edition& edition, char** argv);
Outcome runDbInit(const Edition& edition, char** argv);
Outcome runEncryptApiKey(const Edition& edition, char** argv);
// transaction_query with a filter condition (edition 2.1) and without (2.0).
Outcome runTransactionQueryFiltered(const Edition& edition, char** argv);
Outcome runTransactionQueryUnfiltered(const Edition& edition, char** argv);
