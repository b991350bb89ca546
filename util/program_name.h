// The program's own name, which it gives in what it tells the operator and
// the database server ("lumettool", "lumettool-2.0", "lumettool-1.0").
#pragma once

#include <string_view>

// Set once at start by the entry point.
void setProgramName(std::string_view name);

// The name set at start; "lumettool" before that.
std::string_view programName();
