#include <gtest/gtest.h>

#include <string>

#include "util/text.h"

TEST(AsciiCase, ChangesOnlyAsciiLetters) {
  std::string s = "DB_Init \xC3\x84x9";
  vdAsciiToLower(s.data());
  EXPECT_EQ(s, "db_init \xC3\x84x9");
  vdAsciiToUpper(s.data());
  EXPECT_EQ(s, "DB_INIT \xC3\x84X9");
}
