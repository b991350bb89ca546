// The command table of an edition and the dispatcher that walks it.
#pragma once

#include <algorithm>
#include <span>
#include <string_view>

#include "util/outcome.h"

struct Edition;

// One command word, the argument count it requires (program name included),
// the function that unpacks the arguments, runs its handler and returns how
// it ended, and the names of its arguments as usage shows them
// ("host-address port ...").
// The word must stay the first quoted text of the entry: the bash
// completion is generated from the tables by that pattern.
struct Command {
  std::string_view word;
  int argCount;
  Outcome (*run)(const Edition& edition, char** argv);
  std::string_view arguments;
};

struct Edition {
  std::string_view name;  // the program's name: lumettool, lumettool-2.0...
  std::string_view banner;
  std::span<const Command> commands;
};

// The options every edition knows, each only as the one argument.
inline constexpr std::string_view kHelpOption = "--help";
inline constexpr std::string_view kShortHelpOption = "-h";
inline constexpr std::string_view kVersionOption = "--version";

// True when each command names as many arguments as its count requires,
// so usage cannot promise what the dispatcher refuses.
consteval bool argumentNamesMatchCounts(std::span<const Command> commands) {
  return std::all_of(commands.begin(), commands.end(), [](const Command& command) {
    const std::string_view names = command.arguments;
    const auto count = names.empty() ? 0 : 1 + std::count(names.begin(), names.end(), ' ');
    return count + 2 == command.argCount;
  });
}

// `--help` or `-h` alone prints the usage, `--version` alone the banner.
// Otherwise lower-cases the command word in place, runs the first command
// whose word it begins with and prints its final message, or the usage
// error after telling why on standard error. A LUMETTOOL_EXIT_STATUS it
// cannot read is refused before any command is looked up. Returns the
// process's exit status: 0, or 1 when standard output could not be written
// (a reader that has gone included: SIGPIPE is ignored from the start);
// with LUMETTOOL_EXIT_STATUS=on, outcomeExitStatus of how the run ended.
int dispatch(const Edition& edition, int argc, char** argv);
