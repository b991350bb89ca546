#include "app/dispatch.h"

#include "util/output.h"
#include "util/text.h"

namespace {

// A command word matches when the argument begins with it: Version,
// VERSION and versionx all select `version`.
bool boMatchesCommand(std::string_view arg, std::string_view word) { return arg.starts_with(word); }

}  // namespace

int inDispatch(const Edition& edition, int argc, char** argv) {
  vdReserveStandardStreams();
  if (argc <= 1) {
    inPrintText("Error - Invalid Parameters");
  } else {
    vdAsciiToLower(argv[1]);
    const Command* chosen = nullptr;
    for (const Command& command : edition.commands) {
      if (boMatchesCommand(argv[1], command.word)) {
        chosen = &command;
        break;
      }
    }
    if (chosen == nullptr) {
      inPrintText("Error - Invalid Command");
    } else if (argc != chosen->inArgCount) {
      inPrintText("Error - Invalid Parameters");
    } else {
      chosen->run(edition, argv);
    }
  }
  return inFinishOutput() == 0 ? 0 : 1;
}
