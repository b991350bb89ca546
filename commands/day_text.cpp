#include "commands/day_text.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "commands/next_date.h"
#include "util/int_arg.h"

namespace {

// Which rule a day argument breaks first.
enum class DayFault { kNone, kTooShort, kYear, kMonth, kDay };

// The three pieces of a day argument and the first rule they break.
struct DayPieces {
  int inYear = 0;
  int inMonth = 0;
  int inDay = 0;
  DayFault fault = DayFault::kNone;
};

DayPieces dpReadDay(const char* pszArg) {
  DayPieces pieces;
  if (strnlen(pszArg, 8) < 8) {
    pieces.fault = DayFault::kTooShort;
    return pieces;
  }
  const std::string_view text(pszArg, 8);
  pieces.inYear = atoiClamped(text.substr(0, 4));
  pieces.inMonth = atoiClamped(text.substr(4, 2));
  pieces.inDay = atoiClamped(text.substr(6, 2));
  if (pieces.inYear < 2000 || pieces.inYear > 2100) {
    pieces.fault = DayFault::kYear;
  } else if (pieces.inMonth < 1 || pieces.inMonth > 12) {
    pieces.fault = DayFault::kMonth;
  } else if (pieces.inDay < 1 || pieces.inDay > 31) {
    pieces.fault = DayFault::kDay;
  }
  return pieces;
}

// The pieces, in range, as eight digits.
DayText dtCanonical(const DayPieces& pieces) {
  DayText day{};
  (void)std::snprintf(day.data(), day.size(), "%04d%02d%02d", pieces.inYear, pieces.inMonth,
                      pieces.inDay);
  return day;
}

}  // namespace

int inParseDayArg(const char* pszArg, DayText& day) {
  const DayPieces pieces = dpReadDay(pszArg);
  if (pieces.fault != DayFault::kNone) return -1;
  // The pieces are in range, so the text is always exactly eight digits.
  const DayText canonical = dtCanonical(pieces);
  // 31 April or 29 February 2100 would roll over into the next month.
  if (!boIsCalendarDay(canonical.data())) return -1;
  day = canonical;
  return 0;
}

std::string sDayArgFault(const char* pszArg) {
  const DayPieces pieces = dpReadDay(pszArg);
  switch (pieces.fault) {
    case DayFault::kTooShort:
      return "it has " + std::to_string(strnlen(pszArg, 8)) +
             " characters; a day is eight digits, YYYYMMDD";
    case DayFault::kYear:
      return "the year " + std::to_string(pieces.inYear) + " is outside 2000..2100";
    case DayFault::kMonth:
      return "the month " + std::to_string(pieces.inMonth) + " is outside 1..12";
    case DayFault::kDay:
      return "the day " + std::to_string(pieces.inDay) + " is outside 1..31";
    case DayFault::kNone: break;
  }
  const DayText canonical = dtCanonical(pieces);
  if (boIsCalendarDay(canonical.data())) return "";
  return sDayIso(canonical) + " does not exist";
}

std::string sDayIso(const DayText& day) {
  const std::string_view d(day.data(), 8);
  std::string iso(d.substr(0, 4));
  iso += '-';
  iso += d.substr(4, 2);
  iso += '-';
  iso += d.substr(6, 2);
  return iso;
}

int inDaysFromTo(const DayText& from, const DayText& to) {
  const auto sysDay = [](const DayText& day) {
    const std::string_view d(day.data(), 8);
    return std::chrono::sys_days{std::chrono::year{atoiClamped(d.substr(0, 4))} /
                                 atoiClamped(d.substr(4, 2)) / atoiClamped(d.substr(6, 2))};
  };
  return static_cast<int>((sysDay(to) - sysDay(from)).count());
}

void vdAddDays(DayText& day, int inDays) { vdGetNextDate(day.data(), day.data(), "YYYYMMDD", inDays); }

void vdDayAfter(const DayText& lastDay, DayText& next) {
  next = lastDay;
  vdAddDays(next, 1);
}
