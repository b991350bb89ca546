#include <gtest/gtest.h>

#include <array>
#include <string>

#include "commands/day_text.h"
#include "commands/query_text.h"

namespace {

// The condition as the query handler treats it: lower-cased, then translated.
// The copy taken by value is what gets lower-cased in place.
// cppcheck-suppress passedByValue
std::string sFilter(std::string condition, int expectedRc = 0) {
  std::array<char, kConditionSize> out{};
  vdLowerOutsideQuotes(condition.data());
  EXPECT_EQ(inTranslateCondition(condition.c_str(), out), expectedRc);
  return out.data();
}

}  // namespace

TEST(QueryText, TranslatesConditionAndFieldsOutsideQuotes) {
  const std::pair<const char*, const char*> conditions[] = {
      {"STATUS=1andTYPE=2", "status=1 AND type=2"}, {"vendor=3", "vend OR =3"},
      {"a=1 Or b=2", "a=1  OR  b=2"}, {"Brand='Sandor AND Co'", "br AND ='Sandor AND Co'"},
      {"n='it''s Oregon' or x=\"Ore and Co\"", "n='it''s Oregon'  OR  x=\"Ore and Co\""},
      {"none", ""}, {" NoNe\t", ""}, {"", ""}, {" \t ", ""}, {"nonexistent=1", "nonexistent=1"},
      {"none and x", "none  AND  x"}};
  for (const auto& [text, filter] : conditions) EXPECT_EQ(sFilter(text), filter) << text;

  const std::pair<const char*, const char*> fields[] = {
      {"ALL", "*"}, {" all ", "*"}, {"allowance", "allowance"},
      {"Id,\"Amount EUR\"", "id,\"Amount EUR\""}};
  for (const auto& [list, expected] : fields) {
    std::string text = list;
    vdLowerOutsideQuotes(text.data());
    EXPECT_EQ(svSelectList(text), expected) << list;
  }
}

TEST(QueryText, ConditionMustFitItsBufferWithTheZero) {
  // "and" grows by two bytes in translation.
  constexpr size_t kLongest = kConditionSize - 1;
  EXPECT_EQ(sFilter(std::string(kLongest, 'x')).size(), kLongest);
  EXPECT_EQ(sFilter(std::string(kLongest - 5, 'x') + "and").size(), kLongest);
  sFilter(std::string(kConditionSize, 'x'), -1);
  sFilter(std::string(kConditionSize - 5, 'x') + "and", -1);
}

TEST(QueryText, StatementBracketsFilterAndEndsBeforeNextDay) {
  DayText first{};
  DayText last{};
  DayText end{};
  ASSERT_EQ(inParseDayArg("20111229", first), 0);
  ASSERT_EQ(inParseDayArg("20111231", last), 0);
  vdDayAfter(last, end);
  const std::string tail =
      " FROM transaction WHERE transaction.datetime>=TIMESTAMP'2011-12-29 00:00:00' AND "
      "transaction.datetime<TIMESTAMP'2012-01-01 00:00:00'";
  std::array<char, kStatementSize> out{};
  ASSERT_EQ(inBuildStatement("id,amount", sFilter("a=1 or b=2"), first, end, out), 0);
  EXPECT_EQ(std::string(out.data()),
            "SELECT id,amount FROM transaction WHERE (a=1  OR  b=2) AND " + tail.substr(24));
  ASSERT_EQ(inBuildStatement("*", "", first, end, out), 0);
  EXPECT_EQ(std::string(out.data()), "SELECT *" + tail);

  // Fields that make the statement fill the buffer exactly, then one byte more.
  const std::string fields(size_t{kStatementSize - 1} - 7 - tail.size(), 'f');
  ASSERT_EQ(inBuildStatement(fields, "", first, end, out), 0);
  EXPECT_EQ(std::string(out.data()), "SELECT " + fields + tail);
  EXPECT_EQ(inBuildStatement(fields + "f", "", first, end, out), -1);
}
