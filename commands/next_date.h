// Moving a date written as text by a number of days.
#pragma once

// Longest pattern vdGetNextDate accepts.
inline constexpr int kMaxDatePatternLen = 39;

// Reads a date from `pszSource` as laid out by `pszPattern` ("YYYY" year,
// "YY" year of the 2000s, "MM" month, "DD" day; any other pattern character
// skips one character), adds `inDays` days on the calendar of
// commands/days.h and writes the result into `pszDest` at the same
// positions, leaving the skipped positions as they were and ending it with
// a zero where the pattern ends. Source and destination may be the same
// buffer; the destination must hold the pattern's length plus one byte.
// Out-of-range months and days roll over (31 April is 1 May); results
// before year 0 or after 9999 are held at 0000-01-01 or 9999-12-31. The
// machine's time zone plays no part.
void vdGetNextDate(const char* pszSource, char* pszDest, const char* pszPattern, int inDays);
