#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "util/int_arg.h"
#include "util/nearest_word.h"
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
  for (const auto& [text, value] : cases) EXPECT_EQ(atoiClamped(text), value) << text;
}

TEST(NearestWord, SuggestsOnlyWhatIsNear) {
  // Swaps count one: "ca" to "abc" is 3 by this measure (2 when a swapped
  // pair may be edited again).
  const std::tuple<const char*, const char*, size_t> distances[] = {
      {"", "abc", 3}, {"abc", "abc", 0}, {"ab", "ba", 1}, {"kitten", "sitting", 3},
      {"ca", "abc", 3}, {"a", "", 1}, {"db_inti", "db_init", 1}};
  for (const auto& [a, b, d] : distances) {
    EXPECT_EQ(editDistance(a, b), d) << a << " / " << b;
    EXPECT_EQ(editDistance(b, a), d) << b << " / " << a;
  }
  const std::string_view words[] = {"version",  "db_init", "enc_api_key", "transaction_query",
                                    "--help", "-h",      "--version"};
  const std::pair<std::string, std::string_view> cases[] = {
      {"transactoin_query", "transaction_query"},  // a swap
      {"transaction_quer", "transaction_query"},   // shortened
      {"vers", "version"},
      {"db", "db_init"},
      {"v", ""},                                   // one letter is no word
      {"xversion", "version"},                     // one too many
      {"ersion", "version"},                       // one too few
      {"verison_all", "version"},                  // its head misspelt
      {"transction_query_all", "transaction_query"},
      {"dbinit", "db_init"},
      {"enc_apikey", "enc_api_key"},
      {"init", ""},                                // 3 edits are too many for 4 letters
      {"help", ""},
      {"select", ""},
      {"", ""},
      {"--hlep", "--help"},
      {"-help", "--help"},                         // not -h: an option must stand alone
      {"-hx", "-h"},
      {"--versoin", "--version"},
      {"--v", "--version"},
      {"transaction_qeury" + std::string(131071, 'x'), "transaction_query"},
      {"abcdefghijklmnopq", ""},                   // as long as transaction_query, nothing alike
  };
  for (const auto& [given, nearest] : cases) {
    EXPECT_EQ(nearestWord(given, words), nearest) << given.substr(0, 20);
  }
}
