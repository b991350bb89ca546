// Writing to standard output, with every write checked.
#pragma once

#include <string_view>

// Writes `text` to standard output as it stands (no newline added).
// Returns 0, or -1 once standard output has failed.
int inPrintText(std::string_view text);

// Flushes standard output. Returns 0, or -1 when any write to it has failed.
int inFinishOutput();

// Fills a closed standard input, output or error with /dev/null, so that
// the next file or socket the program opens cannot take its place and
// receive what is meant for the terminal. Standard output is opened
// read-only: writing to it still fails, as it would have.
void vdReserveStandardStreams();
