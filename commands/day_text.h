// Days as the transaction query handles them: eight digits "YYYYMMDD".
#pragma once

#include <array>

// Eight digits "YYYYMMDD" and a zero byte.
using DayText = std::array<char, 9>;

// Accepts an argument whose first eight characters read, piece by piece the
// atoi way, as a year 2000..2100, a month 1..12 and a day 1..31 (the day is
// not checked against the month). On success writes the canonical eight
// digits into `day` and returns 0; returns -1 otherwise, also for an argument
// shorter than eight characters.
int inParseDayArg(const char* pszArg, DayText& day);

// Moves `day` forward by `inDays` days (0 or more) on the calendar.
void vdAddDays(DayText& day, int inDays);

// Writes into `next` the first day after `lastDay`: the exclusive end of a
// range that ends with `lastDay`. A day that does not exist (31 February) is
// copied as it is, so that the server rejects the statement as it always has.
void vdDayAfter(const DayText& lastDay, DayText& next);
