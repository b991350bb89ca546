// Printing a statement's rows as '|'-separated lines.
#pragma once

#include "db/db_access.h"

// Prints every row of the holder as one line, its values as the server gave
// them as text (NULL as an empty value) joined by '|'. Returns 0, or -1 as
// soon as standard output cannot be written.
int inPrintRows(const DBData& data);
