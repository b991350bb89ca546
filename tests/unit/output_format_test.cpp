#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "commands/output_format.h"

namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// COPY FROM's reading, done the plain way: the row split at unescaped '|',
// a value that is exactly \N taken as NULL, each other value decoded byte by
// byte. Returns the line and sets the values that hold '|', '\n' or '\r'.
std::string referenceLine(std::string_view row, size_t& breaking) {
  const bool hasNewline = !row.empty() && row.back() == '\n';
  if (hasNewline) row.remove_suffix(1);
  std::vector<std::string> raw(1);
  for (size_t i = 0; i < row.size(); ++i) {
    if (row[i] == '|') {
      raw.emplace_back();
    } else {
      raw.back() += row[i];
      if (row[i] == '\\' && i + 1 < row.size()) raw.back() += row[++i];
    }
  }
  std::string line;
  breaking = 0;
  for (size_t f = 0; f < raw.size(); ++f) {
    std::string value;
    const std::string& r = raw[f];
    for (size_t i = 0; r != "\\N" && i < r.size(); ++i) {
      if (r[i] != '\\' || i + 1 == r.size()) {
        value += r[i];
        continue;
      }
      const char e = r[++i];
      const std::string_view named = "b\bf\fn\nr\rt\tv\v";
      const size_t at = named.find(e);
      std::string digits;
      if (at != std::string_view::npos && at % 2 == 0) {
        value += named[at + 1];
      } else if (e >= '0' && e <= '7') {
        digits = r.substr(i, 3);
        digits.resize(std::min(digits.size(), digits.find_first_not_of("01234567")));
        value += static_cast<char>(std::strtoul(digits.c_str(), nullptr, 8) & 0xFF);
        i += digits.size() - 1;
      } else if (e == 'x' && i + 1 < r.size() && isHex(r[i + 1])) {
        digits = r.substr(i + 1, 2);
        if (digits.size() == 2 && !isHex(digits[1])) digits.pop_back();
        value += static_cast<char>(std::strtoul(digits.c_str(), nullptr, 16));
        i += digits.size();
      } else {
        value += e;
      }
    }
    if (value.find_first_of("|\n\r") != std::string::npos) ++breaking;
    line += value;
    if (f + 1 < raw.size()) line += '|';
  }
  return hasNewline ? line + '\n' : line;
}

// Decodes `row` both into another buffer and in place; both must agree.
DecodedRow decodeBothWays(const std::string& row, std::string& line,
                          ClientEncoding encoding = ClientEncoding::kAsciiSafe) {
  std::string out(row.size(), '#');
  const DecodedRow decoded = decodeCopyRow(row, out.data(), encoding);
  std::string inPlace = row;
  const DecodedRow again = decodeCopyRow(inPlace, inPlace.data(), encoding);
  EXPECT_EQ(again.length, decoded.length);
  EXPECT_EQ(again.breakingValues, decoded.breakingValues);
  EXPECT_EQ(inPlace.substr(0, again.length), out.substr(0, decoded.length));
  line = out.substr(0, decoded.length);
  return decoded;
}

}  // namespace

TEST(OutputFormat, DecodesLikeCopyFrom) {
  using namespace std::string_literals;
  struct Case { std::string row, line; size_t breaking; };
  const Case cases[] = {
      {"\n", "\n", 0},                                   // no columns
      {"a|b|c\n", "a|b|c\n", 0},
      {"|\n", "|\n", 0},                                 // two empty values
      {"\\N\n", "\n", 0},
      {"\\N|x|\\N\n", "|x|\n", 0},
      {"x|\\N|\n", "x||\n", 0},
      {"\\\\N|a\\N|\\N\\N|\\Nb\n", "\\N|aN|NN|Nb\n", 0},  // not exactly \N: not NULL
      {"\\|\\N\n", "|N\n", 1},                           // an escaped '|' starts no value
      {"\\b\\f\\n\\r\\t\\v\n", "\b\f\n\r\t\v\n", 1},      // one value, counted once
      {"a\\nb|c\\rd|e\\|f|g\n", "a\nb|c\rd|e|f|g\n", 3},
      {"\\n|\\n\n", "\n|\n\n", 2},
      {"\\0\\7\\101\\1012\\777\\08\n", "\0\7AA2\xFF\0" "8\n"s, 0},
      {"\\174|\\x0a|\\15\n", "||\n|\r\n", 3},             // octal and hex count too
      {"\\x41\\x4g\\xg\\xFF\\xaB\\x\n", "A\x04gxg\xFF\xAB" "x\n"s, 0},
      {"\\a\\.\\\\\\q\\\xC3\xA9\n", "a.\\q\xC3\xA9\n", 0},  // any other byte is itself
      {"\xC3\xA9|\xFF\x80\x01\n", "\xC3\xA9|\xFF\x80\x01\n", 0},
      {"ab\\\n", "ab\\\n", 0},                           // a backslash that ends the row
      {"a\\tb", "a\tb", 0},                              // no final '\n'
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    std::string line;
    const DecodedRow decoded = decodeBothWays(c.row, line);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(decoded.breakingValues, c.breaking);
    size_t breaking = 0;
    EXPECT_EQ(referenceLine(c.row, breaking), c.line);
    EXPECT_EQ(breaking, c.breaking);
  }
}

// In SJIS, BIG5 and the like a character's second byte may be '\\' or '|':
// the server leaves it unescaped, and so does the decoder.
TEST(OutputFormat, DecodesByTheClientEncodingsCharacters) {
  struct Case { ClientEncoding encoding; std::string row, line; size_t breaking; };
  const Case cases[] = {
      // BIG5 xu3 gong1 gai4 end in 0x5C each: read as UTF8 they were escapes.
      {ClientEncoding::kBig5, "\xB3\\\xA5\\\xBB\\\n", "\xB3\\\xA5\\\xBB\\\n", 0},
      {ClientEncoding::kAsciiSafe, "\xB3\\\xA5\\\xBB\\\n", "\xB3\xA5\xBB\\\n", 0},
      {ClientEncoding::kBig5, "\xB3\\\\||\\N\n", "\xB3\\||\n", 1},  // xu3 and '|', then NULL
      {ClientEncoding::kBig5, "\xA1||\\\\\n", "\xA1||\\\n", 0},     // a 0x7C inside
      {ClientEncoding::kSjis, "\x83\\\\n|\x83||\\N\n", "\x83\\\n|\x83||\n", 1},
      {ClientEncoding::kSjis, "\xB1\\t\xB1\n", "\xB1\t\xB1\n", 0},  // half-width: one byte
      {ClientEncoding::kSjis, "a\x83\n", "a\x83\n", 0},            // cut short at the end
      {ClientEncoding::kGbk, "\x81\\\\\\\n", "\x81\\\\\n", 0},
      {ClientEncoding::kUhc, "\xB0" "A\\|\n", "\xB0" "A|\n", 1},
      {ClientEncoding::kGb18030, "\x81\x30\x81\x30\\t|\x81\\7\n", "\x81\x30\x81\x30\t|\x81\\7\n",
       0},
      // JOHAB's 0x8F starts three bytes, as the server counts them.
      {ClientEncoding::kJohab, "\x8F\x41\\|\x88\\\\r\n", "\x8F\x41\\|\x88\\\r\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    std::string line;
    const DecodedRow decoded = decodeBothWays(c.row, line, c.encoding);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(decoded.breakingValues, c.breaking);
  }
}

TEST(OutputFormat, AgreesWithPlainDecodingOnRandomAndLongRows) {
  std::mt19937 random(17);  // NOLINT(cert-msc51-cpp): the same rows each run, to repeat a failure
  const std::string_view pieces[] = {"\\", "|", "N", "x", "7", "0", "a", "F", "n", "r",
                                     "\\N", "\\\\", "\\|", "\xE2\x82\xAC", "\x7F", "\t"};
  std::vector<std::string> rows;
  for (int n = 0; n < 3000; ++n) {
    std::string row;
    const size_t count = random() % (n < 2990 ? 12 : 200000);  // the last ones long
    for (size_t i = 0; i < count; ++i) row += pieces[random() % std::size(pieces)];
    rows.push_back(row + "\n");
  }
  for (const std::string& row : rows) {
    std::string line;
    const DecodedRow decoded = decodeBothWays(row, line);
    size_t breaking = 0;
    ASSERT_EQ(line, referenceLine(row, breaking)) << row;
    ASSERT_EQ(decoded.breakingValues, breaking) << row;
  }
}

TEST(OutputFormat, FormatComesFromItsVariable) {
  struct Case { const char* value; OutputFormat format; std::string reason; };
  const Case cases[] = {
      {nullptr, OutputFormat::kText, ""},
      {"text", OutputFormat::kText, ""},
      {"copy", OutputFormat::kCopy, ""},
      {"xml", OutputFormat::kText, "LUMETTOOL_FORMAT 'xml' is neither text nor copy"},
      {"COPY", OutputFormat::kText, "LUMETTOOL_FORMAT 'COPY' is neither text nor copy"},
      {"copy\n", OutputFormat::kText, "LUMETTOOL_FORMAT 'copy\\x0A' is neither text nor copy"},
      {"", OutputFormat::kText,
       "LUMETTOOL_FORMAT is set but empty; set it to text or copy, or unset it"},
  };
  for (const Case& c : cases) {
    const FormatChoice choice = formatFromValue(c.value);
    EXPECT_EQ(choice.format, c.format) << (c.value != nullptr ? c.value : "(unset)");
    EXPECT_EQ(choice.reason, c.reason);
  }
}
