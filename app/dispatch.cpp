#include "app/dispatch.h"

#include <algorithm>
#include <string>

#include "app/usage.h"
#include "util/diagnostics.h"
#include "util/output.h"
#include "util/program_name.h"
#include "util/text.h"

namespace {

// A command word matches when the argument begins with it: Version,
// VERSION and versionx all select `version`.
bool matchesCommand(std::string_view arg, std::string_view word) { return arg.starts_with(word); }

// Everything but the options: the command word and its arguments.
Outcome runCommand(const Edition& edition, int argc, char** argv) {
  const std::string given = argv[1];  // as typed, for what the operator is told
  vdAsciiToLower(argv[1]);
  const std::string_view arg = argv[1];
  const auto chosen =
      std::find_if(edition.commands.begin(), edition.commands.end(),
                   [arg](const Command& command) { return matchesCommand(arg, command.word); });
  if (chosen == edition.commands.end()) {
    tellUnknownCommand(edition, given, argc);
    return Outcome::kInvalidCommand;
  }
  if (argc != chosen->argCount) {
    tellWrongArgumentCount(edition, *chosen, given, argc);
    return Outcome::kInvalidParameters;
  }
  return chosen->run(edition, argv);
}

}  // namespace

int dispatch(const Edition& edition, int argc, char** argv) {
  if (ignoreBrokenPipe() != 0 || fillStandardDescriptors() != 0) return 1;
  // Before anything is written: a buffer can only be set on an unused stream.
  useLargeOutputBuffer();
  setProgramName(edition.name);
  const std::string_view only = argc == 2 ? argv[1] : "";
  bool told = false;
  if (argc <= 1) {
    tellNoCommand(edition);
    printText(outcomeText(Outcome::kInvalidParameters));
  } else if (only == kHelpOption || only == kShortHelpOption) {
    printText(helpText(edition));
  } else if (only == kVersionOption) {
    printText(edition.banner);
  } else {
    // Every line on standard error has been written by now: the final
    // message comes last.
    const Outcome outcome = runCommand(edition, argc, argv);
    // An export that could not write its rows has said so already.
    told = outcome == Outcome::kOutputFailed;
    printText(outcomeText(outcome));
  }
  // The export writes its rows past the stream (writeToDescriptor), whose
  // failures only outputErrno remembers.
  if (finishOutput() == 0 && outputErrno() == 0) return 0;
  if (!told) tellError({"cannot write to standard output: ", systemError(outputErrno())});
  return 1;
}
