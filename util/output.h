// Writing to standard output, with every write checked.
#pragma once

#include <string_view>

// Writes `text` to standard output as it stands (no newline added).
// Returns 0, or -1 once standard output has failed.
int inPrintText(std::string_view text);

// Flushes standard output. Returns 0, or -1 when any write to it has failed.
int inFinishOutput();
