#include "app/usage.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "util/diagnostics.h"
#include "util/nearest_word.h"
#include "util/text.h"

namespace {

// The option lines of the usage, after the program's name.
constexpr std::string_view kOptionUsage[] = {"--help | -h", "--version"};

bool isOption(std::string_view word) {
  return word == kHelpOption || word == kShortHelpOption || word == kVersionOption;
}

// "no arguments", "1 argument", "5 arguments".
std::string argumentCountText(int count) {
  if (count == 0) return "no arguments";
  return std::to_string(count) + (count == 1 ? " argument" : " arguments");
}

void tellCommandUsage(const Edition& edition) {
  for (const Command& command : edition.commands)
    tellHint({"usage: ", usageLine(edition, command)});
}

}  // namespace

std::string usageLine(const Edition& edition, const Command& command) {
  std::string line(edition.name);
  line += ' ';
  line += command.word;
  if (!command.arguments.empty()) {
    line += ' ';
    line += command.arguments;
  }
  return line;
}

std::string helpText(const Edition& edition) {
  std::string text = "Usage:";
  for (const Command& command : edition.commands) {
    text += "\n  ";
    text += usageLine(edition, command);
  }
  for (const std::string_view option : kOptionUsage) {
    text += "\n  ";
    text += edition.name;
    text += ' ';
    text += option;
  }
  return text;
}

void tellNoCommand(const Edition& edition) {
  tellError({"no command given"});
  tellCommandUsage(edition);
}

void tellUnknownCommand(const Edition& edition, std::string_view given, int argc) {
  if (isOption(given)) {
    tellError({given, " must be the only argument; ", std::to_string(argc - 2), " more given"});
    return;
  }
  tellError({"unknown command ", quoted(given)});
  // Commands match in any case: so does the nearest word.
  std::string lowered(given);
  vdAsciiToLower(lowered.data());
  std::vector<std::string_view> candidates;
  std::transform(edition.commands.begin(), edition.commands.end(), std::back_inserter(candidates),
                 [](const Command& command) { return command.word; });
  candidates.insert(candidates.end(), {kHelpOption, kShortHelpOption, kVersionOption});
  const std::string_view nearest = nearestWord(lowered, candidates);
  if (!nearest.empty()) tellHint({"did you mean ", quoted(nearest), "?"});
  tellCommandUsage(edition);
}

void tellWrongArgumentCount(const Edition& edition, const Command& command, std::string_view given,
                            int argc) {
  std::string what(command.word);
  if (given != command.word) what = quoted(given) + " (" + what + ")";
  tellError({what, " takes ", argumentCountText(command.argCount - 2), ", ",
             std::to_string(argc - 2), " given"});
  tellHint({"usage: ", usageLine(edition, command)});
}
