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
      {"none and x", "none  AND  x"},
      // Every form of quoted text the server knows stays as written.
      {"note=$$Rock and Roll$$", "note=$$Rock and Roll$$"},
      {"N=$Tag$it's $$ OR$Tag$ or $t$x$t$", "n=$Tag$it's $$ OR$Tag$  OR  $t$x$t$"},
      {"note=E'it\\'s Oregon' OR x=1", "note=E'it\\'s Oregon'  OR  x=1"},
      {"n=e'A\\\\' OR U&'D\\0061' OR U&\"Or\"=1", "n=e'A\\\\'  OR  U&'D\\0061'  OR  U&\"Or\"=1"},
      // Not quoted text: a $ inside a word, a parameter, an E ending a word.
      {"A$B$=1 or $1 OR Xe'\\'=1", "a$b$=1  OR  $1  OR  xe'\\'=1"},
      {"1$$Or$$=1", "1$$Or$$=1"},
      // A quote on the next line carries the text on, E'...' with its escapes.
      {"N=E'a'\n'\\' and ' OR y", "n=E'a'\n'\\' and '  OR  y"},
      // Comments are kept as written as well.
      {"x=1 /* And /* Or */ */ and Y -- Or\nOR z", "x=1 /* And /* Or */ */  AND  y -- Or\n OR  z"}};
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

TEST(QueryText, StatementKeepsTheFilterInsideTheRange) {
  const std::string tail =
      " FROM transaction WHERE transaction.datetime>=$1::timestamp AND "
      "transaction.datetime<$2::timestamp";
  std::array<char, kStatementSize> out{};
  ASSERT_EQ(inBuildStatement("id,amount", sFilter("a=1 or b=2"), out), 0);
  EXPECT_EQ(std::string(out.data()), "SELECT id,amount" + tail + " AND (a=1  OR  b=2)");
  ASSERT_EQ(inBuildStatement("*", "", out), 0);
  EXPECT_EQ(std::string(out.data()), "SELECT *" + tail);

  // Fields that make the statement fill the buffer exactly, then one byte more.
  const std::string fields(size_t{kStatementSize - 1} - 7 - tail.size(), 'f');
  ASSERT_EQ(inBuildStatement(fields, "", out), 0);
  EXPECT_EQ(std::string(out.data()), "SELECT " + fields + tail);
  EXPECT_EQ(inBuildStatement(fields + "f", "", out), -1);

  DayText day{};
  DayParam param{};
  ASSERT_EQ(inParseDayArg("20111231", day), 0);
  vdPutDayParam(day, param);
  EXPECT_EQ(std::string(param.data()), "2011-12-31");
}

// A filter that closes a bracket it did not open could end the range's AND
// and add rows of any day (") or (true", ") union select ..."). Brackets in
// quoted text and comments are not the server's, and do not count.
TEST(QueryText, FilterMustKeepItsBrackets) {
  const std::pair<const char*, bool> filters[] = {
      {"", true},
      {"(a=1) or (b=2)", true},
      {"f(x) in ((1), (2))", true},
      {"note=')' or \")\"=1", true},
      {"note=$$)$$ or $t$)$t$=1", true},
      {"note=E'\\')' or 1=1", true},
      {"x=1 /* ) /* ) */ ) */", true},
      {"x=1 -- )", true},
      {"status=1) or (true", false},
      {"1=1) union select * from transaction where (true", false},
      {"x=1 -- )\n) or (true", false},
      {"x=1 /* ) */ ) or (true", false},
      {"note=')'') or (''' ) or (true", false},
      {"a$$=1) or ($$", false},
      {"xe'\\' ) or (true", false},
      {"x=E'a'\n'\\' ') or ('a'='a'", false},
      {"x=E'a' -- c\r\t'\\' ') or ('a'='a'", false},
      {"x=E'a' '\\' ') or ('a'='a'", true},
      // A backslash after a byte above 127 may be that character's second byte.
      {"note=E'\x82\\') or (true", false}};
  for (const auto& [filter, kept] : filters) {
    EXPECT_EQ(boFilterKeepsItsBrackets(filter), kept) << filter;
  }
  // A backslash after a byte above 127 in E'...' text escapes in UTF-8 and
  // is half a character in SJIS: where that text ends is not known.
  const std::pair<const char*, int> unsure[] = {
      {"x=E'\xC3\xA9\\' ') or ('a'='a'", 6}, {"x=E'a'\n'\xC3\xA9\\'", 10},
      {"x=E'\xC3\xA9 \\' '", -1}, {"x='\xC3\xA9\\'", -1}, {"x=$$\xC3\xA9\\$$", -1}};
  for (const auto& [filter, at] : unsure) EXPECT_EQ(inUnsureBackslashAt(filter), at) << filter;
}
