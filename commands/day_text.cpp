#include "commands/day_text.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "commands/next_date.h"
#include "util/int_arg.h"

int inParseDayArg(const char* pszArg, DayText& day) {
  if (strnlen(pszArg, 8) < 8) return -1;
  const std::string_view text(pszArg, 8);
  const int year = inAtoiClamped(text.substr(0, 4));
  const int month = inAtoiClamped(text.substr(4, 2));
  const int dayOfMonth = inAtoiClamped(text.substr(6, 2));
  if (year < 2000 || year > 2100 || month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31) {
    return -1;
  }
  // The pieces are in range, so the text is always exactly eight digits.
  DayText canonical{};
  (void)std::snprintf(canonical.data(), canonical.size(), "%04d%02d%02d", year, month, dayOfMonth);
  // 31 April or 29 February 2100 would roll over into the next month.
  if (!boIsCalendarDay(canonical.data())) return -1;
  day = canonical;
  return 0;
}

void vdAddDays(DayText& day, int inDays) { vdGetNextDate(day.data(), day.data(), "YYYYMMDD", inDays); }

void vdDayAfter(const DayText& lastDay, DayText& next) {
  next = lastDay;
  vdAddDays(next, 1);
}
