#include "commands/days.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "util/int_arg.h"

namespace {

using std::chrono::year_month_day;

std::string formatted(Day day, const char* format) {
  const year_month_day parts = dayParts(day);
  std::array<char, 16> text{};
  (void)std::snprintf(text.data(), text.size(), format, static_cast<int>(parts.year()),
                      static_cast<unsigned>(parts.month()), static_cast<unsigned>(parts.day()));
  return text.data();
}

}  // namespace

DayArg parseDayArg(const char* arg) {
  DayArg read;
  const size_t length = strnlen(arg, 8);
  if (length < 8) {
    read.fault =
        "it has " + std::to_string(length) + " characters; a day is eight digits, YYYYMMDD";
    return read;
  }
  const std::string_view text(arg, 8);
  const int year = atoiClamped(text.substr(0, 4));
  const int month = atoiClamped(text.substr(4, 2));
  const int day = atoiClamped(text.substr(6, 2));
  if (year < 2000 || year > 2100) {
    read.fault = "the year " + std::to_string(year) + " is outside 2000..2100";
  } else if (month < 1 || month > 12) {
    read.fault = "the month " + std::to_string(month) + " is outside 1..12";
  } else if (day < 1 || day > 31) {
    read.fault = "the day " + std::to_string(day) + " is outside 1..31";
  } else if (!isCalendarDay(year, month, day)) {
    // 31 April or 29 February 2100 would roll over into the next month.
    std::array<char, 16> iso{};
    (void)std::snprintf(iso.data(), iso.size(), "%04d-%02d-%02d", year, month, day);
    read.fault = std::string(iso.data()) + " does not exist";
  } else {
    read.day = rolledOverDay(year, month - 1, day);
  }
  return read;
}

bool isCalendarDay(int year, int month, int day) {
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  return year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                        std::chrono::day{static_cast<unsigned>(day)}}
      .ok();
}

Day rolledOverDay(int64_t year, int64_t month0, int64_t dayOfMonth) {
  // Whole years out of the month first, then the days from the first of
  // that month.
  int64_t yearCarry = month0 / 12;
  int64_t month = month0 % 12;
  if (month < 0) {
    month += 12;
    --yearCarry;
  }
  const Day first{std::chrono::year{static_cast<int>(year + yearCarry)} /
                  std::chrono::month{static_cast<unsigned>(month + 1)} / 1};
  return first + std::chrono::days{dayOfMonth - 1};
}

year_month_day dayParts(Day day) { return year_month_day{day}; }

std::string isoText(Day day) { return formatted(day, "%04d-%02u-%02u"); }

std::string argumentText(Day day) { return formatted(day, "%04d%02u%02u"); }

int daysBetween(Day from, Day to) { return static_cast<int>((to - from).count()); }
