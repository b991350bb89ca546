// The command table of an edition and the dispatcher that walks it.
#pragma once

#include <span>
#include <string_view>

struct Edition;

// One command word, the argument count it requires (program name included)
// and the function that unpacks the arguments and runs its handler.
struct Command {
  std::string_view word;
  int inArgCount;
  void (*run)(const Edition& edition, char** argv);
};

struct Edition {
  std::string_view name;  // the program's name: lumettool, lumettool-2.0...
  std::string_view banner;
  std::span<const Command> commands;
};

// Lower-cases the command word in place, runs the first command whose word
// it begins with, or prints the usage error. Returns the process's exit
// status: 0, or 1 when standard output could not be written (a reader that
// has gone included: SIGPIPE is ignored from the start).
int inDispatch(const Edition& edition, int argc, char** argv);
