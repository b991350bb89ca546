#include "util/program_name.h"

namespace {

std::string_view svName = "lumettool";

}  // namespace

void vdSetProgramName(std::string_view name) { svName = name; }

std::string_view svProgramName() { return svName; }
