// Days as the transaction query handles them: eight digits "YYYYMMDD".
#pragma once

#include <array>
#include <string>

// Eight digits "YYYYMMDD" and a zero byte.
using DayText = std::array<char, 9>;

// Accepts an argument whose first eight characters read, piece by piece the
// atoi way, as a year 2000..2100, a month 1..12 and a day 1..31 that
// together name a day of the proleptic Gregorian calendar (not 31 April,
// nor 29 February outside leap years). On success writes the canonical
// eight digits into `day` and returns 0; returns -1 otherwise, also for an
// argument shorter than eight characters, and leaves `day` as it was.
int inParseDayArg(const char* pszArg, DayText& day);

// Why inParseDayArg refuses `pszArg` ("the month 13 is outside 1..12",
// "2023-02-29 does not exist"), or "" when it accepts it.
std::string sDayArgFault(const char* pszArg);

// `day` as "YYYY-MM-DD".
std::string sDayIso(const DayText& day);

// Days from `from` to `to` on the calendar: 0 for the same day, negative
// when `to` comes first.
int inDaysFromTo(const DayText& from, const DayText& to);

// Moves `day` forward by `inDays` days (0 or more) on the calendar.
void vdAddDays(DayText& day, int inDays);

// Writes into `next` the first day after `lastDay` (a day inParseDayArg
// accepted, or one reached from it by vdAddDays): the exclusive end of a
// range that ends with `lastDay`.
void vdDayAfter(const DayText& lastDay, DayText& next);
