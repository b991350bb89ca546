// The tool's final messages as the tests compare them with what a run printed.
#pragma once

#include <string>

#include "util/outcome.h"

inline std::string finalMessage(Outcome outcome) { return std::string(outcomeText(outcome)); }
