// Whole days as the transaction query takes them: the day type, reading a
// day argument, the calendar and the texts a day is written as.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// A day of the proleptic Gregorian calendar.
using Day = std::chrono::sys_days;

// A day argument as read: the day, or why it is refused.
struct DayArg {
  Day day{};
  std::string fault;  // empty when accepted, else "the month 13 is outside 1..12"
};

// Reads an argument whose first eight characters read, piece by piece the
// atoi way, as a year 2000..2100, a month 1..12 and a day 1..31 that
// together name a day of the calendar (not 31 April, nor 29 February
// outside leap years). A shorter argument is refused.
DayArg parseDayArg(const char* arg);

// True when the numbers name a day of the calendar.
bool isCalendarDay(int year, int month, int day);

// The day that `year`, `month0` (months after January of that year, any
// number) and `dayOfMonth` (any number) come to, the way mktime rolls them
// over: 31 April is 1 May, month 12 is January of the next year.
Day rolledOverDay(int64_t year, int64_t month0, int64_t dayOfMonth);

// The day's year, month and day of month.
std::chrono::year_month_day dayParts(Day day);

// "YYYY-MM-DD", as the server reads a day and the operator is told one;
// kIsoTextLength bytes for every day a day argument can name.
std::string isoText(Day day);
inline constexpr size_t kIsoTextLength = 10;

// "YYYYMMDD", as the day arguments are written.
std::string argumentText(Day day);

// Days from `from` to `to`: 0 for the same day, negative when `to` comes first.
int daysBetween(Day from, Day to);
