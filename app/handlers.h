// Adapters from the argument vector to each command's handler.
#pragma once

#include "app/dispatch.h"

Outcome vdRunVersion(const Edition& edition, char** argv);
Outcome vdRunDbInit(const Edition& edition, char** argv);
Outcome vdRunEncryptApiKey(const Edition& edition, char** argv);
// transaction_query with a filter condition (edition 2.1) and without (2.0).
Outcome vdRunTransactionQueryFiltered(const Edition& edition, char** argv);
Outcome vdRunTransactionQueryUnfiltered(const Edition& edition, char** argv);
