// The usage of an edition, printed by --help and told with the errors of
// the command line. Each line comes from the edition's command table.
#pragma once

#include <string>
#include <string_view>

#include "app/dispatch.h"

// "PROGRAM WORD ARGUMENT...": how to run `command`.
std::string usageLine(const Edition& edition, const Command& command);

// What --help prints: "Usage:", then one line per command and per option,
// each indented by two blanks; no newline after the last.
std::string helpText(const Edition& edition);

// "Error - Invalid Parameters" without a command word: says so and tells
// the usage of every command.
void tellNoCommand(const Edition& edition);

// "Error - Invalid Command": the word as given (`given`) names no command;
// `argc` counts the whole command line. Tells the word, the nearest
// command word or option when one is near, and the usage of every command.
void tellUnknownCommand(const Edition& edition, std::string_view given, int argc);

// "Error - Invalid Parameters": the word as given selects `command`, which
// requires another number of arguments. Tells both counts and its usage.
void tellWrongArgumentCount(const Edition& edition, const Command& command, std::string_view given,
                            int argc);
