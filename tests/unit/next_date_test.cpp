#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "commands/days.h"
#include "commands/next_date.h"

TEST(GetNextDate, StepsOnTheCalendarInPlace) {
  struct Case { const char* source; const char* pattern; int days; const char* expected; };
  const Case cases[] = {
      {"20111231", "YYYYMMDD", 1, "20120101"}, {"20120228", "YYYYMMDD", 1, "20120229"},
      {"20110228", "YYYYMMDD", 1, "20110301"}, {"21000228", "YYYYMMDD", 1, "21000301"},
      {"20000228", "YYYYMMDD", 1, "20000229"}, {"20110105", "YYYYMMDD", 30, "20110204"},
      {"20120301", "YYYYMMDD", -1, "20120229"}, {"2011 1 5", "YYYYMMDD", 0, "20110105"},
      {"20110431", "YYYYMMDD", 0, "20110501"}, {"20110300", "YYYYMMDD", 0, "20110228"},
      {"20111231tail", "YYYYMMDD", 1, "20120101"}, {"11-12-31", "YY-MM-DD", 1, "12-01-01"},
      {"31.12.2011", "DD.MM.YYYY", 1, "01.01.2012"}, {"99991231", "YYYYMMDD", 1, "99991231"},
      {"201105", "YYYYDD", 0, "201105"}};  // without a month the date is in January
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + c.pattern + " " + std::to_string(c.days));
    char buf[40] = {};
    std::string_view(c.source).copy(buf, sizeof buf - 1);
    vdGetNextDate(buf, buf, c.pattern, c.days);
    EXPECT_STREQ(buf, c.expected);
  }
}

TEST(GetNextDate, IgnoresTimeZone) {
  // Samoa skipped 30 December 2011; Dublin left summer time on 30 October 2011.
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  char apia[9] = {};
  char dublin[9] = {};
  setenv("TZ", "Pacific/Apia", 1);
  tzset();
  vdGetNextDate("20111229", apia, "YYYYMMDD", 1);
  setenv("TZ", "Europe/Dublin", 1);
  tzset();
  vdGetNextDate("20111029", dublin, "YYYYMMDD", 2);
  old != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
  EXPECT_STREQ(apia, "20111230");
  EXPECT_STREQ(dublin, "20111031");
}

TEST(Days, ParsesRangeCanonicallyAndStepsToNextDay) {
  // Expected day and the day after it; null: the argument is refused.
  struct Case { const char* arg; const char* day; const char* next; };
  const Case cases[] = {
      {"20111231", "20111231", "20120101"}, {"2011 105", "20110105", "20110106"},
      {"2012+228", "20120228", "20120229"}, {"20000101", "20000101", "20000102"},
      {"21001231xx", "21001231", "21010101"}, {"20240229", "20240229", "20240301"},
      {"20000229", "20000229", "20000301"}, {"20240430", "20240430", "20240501"},
      {"19991231", {}, {}}, {"21010101", {}, {}}, {"20110001", {}, {}}, {"20111301", {}, {}},
      {"20110100", {}, {}}, {"20110132", {}, {}}, {"2011011", {}, {}},  {"", {}, {}},
      {"abcdefgh", {}, {}},
      // Days the calendar does not have: 2100 is not a leap year, 2000 was.
      {"20110231", {}, {}}, {"20240231", {}, {}}, {"20240431", {}, {}}, {"20230229", {}, {}},
      {"21000229", {}, {}}, {"2024 431", {}, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    const DayArg read = parseDayArg(c.arg);
    EXPECT_EQ(read.fault.empty(), c.day != nullptr) << read.fault;
    if (c.day == nullptr || !read.fault.empty()) continue;
    EXPECT_EQ(argumentText(read.day), c.day);
    EXPECT_EQ(argumentText(read.day + std::chrono::days{1}), c.next);
    EXPECT_EQ(isoText(read.day), std::string(c.day).insert(4, "-").insert(7, "-"));
  }
}
