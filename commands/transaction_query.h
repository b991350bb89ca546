// The transaction_query command: exports rows of the table `transaction`
// between two days, in one statement or in chunks of days.
#pragma once

#include "util/outcome.h"

// Edition 2.1: with a filter condition ("none" for no filter).
Outcome vdTransactionQuery(char* pszFields, char* pszCondition, char* pszDateFrom,
                           const char* pszDateTo, int inDays, int inDelayMs);

// Edition 2.0: without a filter.
Outcome vdTransactionQuery(char* pszFields, char* pszDateFrom, const char* pszDateTo, int inDays,
                           int inDelayMs);
