#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

#include "util/int_arg.h"
#include "util/text.h"

TEST(AsciiCase, ChangesOnlyAsciiLetters) {
  std::string s = "DB_Init \xC3\x84x9";
  vdAsciiToLower(s.data());
  EXPECT_EQ(s, "db_init \xC3\x84x9");
  vdAsciiToUpper(s.data());
  EXPECT_EQ(s, "DB_INIT \xC3\x84X9");
}

TEST(SplitString, ReturnsTokenByIndexOrNull) {
  struct Case { const char* text; const char* delims; int index; const char* token; };
  const Case cases[] = {{"a,b,,c", ",", 1, "b"}, {"a,b,,c", ",", 2, ""}, {"a,b,,c", ",", 3, "c"},
                        {"a,b,,c", ",", 4, nullptr}, {"a,", ",", 1, nullptr}, {"", ",", 0, nullptr},
                        {"a", ",", -1, nullptr}, {"x y;z", " ;", 2, "z"}, {",a", ",", 0, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " #" + std::to_string(c.index));
    char* token = pszSplitString(c.text, c.delims, c.index);
    EXPECT_EQ(token == nullptr ? "(null)" : std::string(token), c.token ? c.token : "(null)");
    std::free(token);
  }
  char* list = pszAddStringPtr(pszAddStringPtr(pszAddStringPtr(nullptr, "a"), "bc"), "");
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "a|bc|");
  std::free(list);
}

TEST(AtoiClamped, ReadsLikeAtoiWithoutOverflow) {
  const std::pair<const char*, int> cases[] = {
      {" \t+12x", 12}, {"-7", -7}, {"abc", 0}, {"- 1", 0}, {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN}, {"-99999999999999999999", INT_MIN}, {"0000000000042", 42}};
  for (const auto& [text, value] : cases) EXPECT_EQ(inAtoiClamped(text), value) << text;
}
