// Whole-number arguments read the way C's atoi reads them, without overflow.
#pragma once

#include <string_view>

// Optional leading white space and one sign, then decimal digits up to the
// first non-digit; no digits reads as 0. A value beyond 32 bits is clamped
// to INT_MIN or INT_MAX instead of overflowing.
int atoiClamped(std::string_view text);

// True when `text` is a plain whole number: one optional sign, then one or
// more decimal digits and nothing else, blanks included. "+7" and "007" are
// (atoi reads them as 7); " 7", "7x", "1.5" and "" are not.
bool isWholeNumber(std::string_view text);
