#include "util/program_name.h"

namespace {

std::string_view currentName = "lumettool";

}  // namespace

void setProgramName(std::string_view name) { currentName = name; }

std::string_view programName() { return currentName; }
