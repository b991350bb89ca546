// Adapters from the argument vector to each command's handler.
#pragma once

#include "app/dispatch.h"

void vdRunVersion(const Edition& edition, char** argv);
void vdRunDbInit(const Edition& edition, char** argv);
void vdRunEncryptApiKey(const Edition& edition, char** argv);
// transaction_query with a filter condition (edition 2.1) and without (2.0).
void vdRunTransactionQueryFiltered(const Edition& edition, char** argv);
void vdRunTransactionQueryUnfiltered(const Edition& edition, char** argv);
