#include "app/dispatch.h"

#include <algorithm>

#include "util/output.h"
#include "util/program_name.h"
#include "util/text.h"

namespace {

// A command word matches when the argument begins with it: Version,
// VERSION and versionx all select `version`.
bool boMatchesCommand(std::string_view arg, std::string_view word) { return arg.starts_with(word); }

}  // namespace

int inDispatch(const Edition& edition, int argc, char** argv) {
  if (inIgnoreBrokenPipe() != 0 || inFillStandardDescriptors() != 0) return 1;
  vdSetProgramName(edition.name);
  if (argc <= 1) {
    inPrintText("Error - Invalid Parameters");
  } else {
    vdAsciiToLower(argv[1]);
    const std::string_view arg = argv[1];
    const auto chosen =
        std::find_if(edition.commands.begin(), edition.commands.end(),
                     [arg](const Command& command) { return boMatchesCommand(arg, command.word); });
    if (chosen == edition.commands.end()) {
      inPrintText("Error - Invalid Command");
    } else if (argc != chosen->inArgCount) {
      inPrintText("Error - Invalid Parameters");
    } else {
      chosen->run(edition, argv);
    }
  }
  return inFinishOutput() == 0 ? 0 : 1;
}
