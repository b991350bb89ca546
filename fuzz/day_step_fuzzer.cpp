// Fuzzes day validation (parseDayArg, isCalendarDay, argumentText) and
// date stepping (vdGetNextDate) against a calendar written out here.
//
// Input: zero-separated source text, pattern (empty: "YYYYMMDD"), and two
// day counts n and m as decimal text (missing: 1). Checked:
//  - parseDayArg accepts exactly the texts whose pieces, read the atoi
//    way, are in range and name a real calendar day, and writes them as
//    eight digits; the day after an accepted day is the next calendar day;
//  - vdGetNextDate gives the day this file's calendar gives, written at the
//    pattern's positions only, the same in place; with "YYYYMMDD" the
//    result is always eight digits and a real calendar day;
//  - stepping by n and then by m is stepping by n+m, unless the result was
//    held at 0000-01-01 or 9999-12-31.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "commands/days.h"
#include "commands/next_date.h"
#include "fuzz/fuzz_support.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
constexpr int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t y, m, d;
};

Civil civilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool isLeap(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int64_t monthLength(int64_t y, int64_t m) {
  static constexpr int64_t kLength[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kLength[m - 1];
}

bool isRealDay(int64_t y, int64_t m, int64_t d) {
  return m >= 1 && m <= 12 && d >= 1 && d <= monthLength(y, m);
}

constexpr int64_t kFirst = daysFromCivil(0, 1, 1);
constexpr int64_t kLast = daysFromCivil(9999, 12, 31);

// The atoi value of `width` bytes of `text` at `pos`, as far as it goes.
int64_t pieceValue(std::string_view text, size_t pos, size_t width) {
  if (pos >= text.size()) return 0;
  const std::string piece(text.substr(pos, width));
  return std::strtol(piece.c_str(), nullptr, 10);
}

std::string eightDigits(const Civil& c) {
  char text[32];
  const int written =
      std::snprintf(text, sizeof text, "%04lld%02lld%02lld", static_cast<long long>(c.y),
                    static_cast<long long>(c.m), static_cast<long long>(c.d));
  FUZZ_CHECK(written == 8);
  return text;
}

bool isEightDigitDay(std::string_view text) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.size() != 8 || !std::ranges::all_of(text, isDigit)) return false;
  return isRealDay(pieceValue(text, 0, 4), pieceValue(text, 4, 2), pieceValue(text, 6, 2));
}

enum class Kind { kYear4, kYear2, kMonth, kDay, kOther };
struct Token {
  Kind kind;
  size_t pos, width;
};

std::vector<Token> tokensOf(std::string_view pattern) {
  std::vector<Token> tokens;
  for (size_t pos = 0; pos < pattern.size();) {
    const std::string_view rest = pattern.substr(pos);
    Token t{Kind::kOther, pos, 1};
    if (rest.starts_with("YYYY")) t = {Kind::kYear4, pos, 4};
    else if (rest.starts_with("YY")) t = {Kind::kYear2, pos, 2};
    else if (rest.starts_with("MM")) t = {Kind::kMonth, pos, 2};
    else if (rest.starts_with("DD")) t = {Kind::kDay, pos, 2};
    tokens.push_back(t);
    pos += t.width;
  }
  return tokens;
}

// The day number vdGetNextDate should arrive at, before and after holding
// it within four-digit years.
struct Step {
  int64_t unclamped, result;
};

Step modelStep(std::string_view source, const std::vector<Token>& tokens, int64_t n) {
  int64_t year = 1900;
  int64_t month0 = 0;
  int64_t day = 0;
  for (const Token& t : tokens) {
    const int64_t v = pieceValue(source, t.pos, t.width);
    if (t.kind == Kind::kYear4) year = v;
    if (t.kind == Kind::kYear2) year = 2000 + v;
    if (t.kind == Kind::kMonth) month0 = v - 1;
    if (t.kind == Kind::kDay) day = v;
  }
  const int64_t carry = month0 >= 0 ? month0 / 12 : -((11 - month0) / 12);
  const int64_t month = month0 - 12 * carry;
  const int64_t target = daysFromCivil(year + carry, month + 1, 1) + day - 1 + n;
  return {target, target < kFirst ? kFirst : (target > kLast ? kLast : target)};
}

void putDigits(std::string& text, size_t pos, size_t width, int64_t value) {
  for (size_t i = width; i > 0; --i) {
    text[pos + i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// Steps `source` through the library into a separate buffer (bytes the
// pattern skips must stay as they were) and in place, checks both against
// the model and returns the result.
std::string checkedStep(const std::string& source, const std::string& pattern, int n) {
  const std::string_view used = std::string_view(pattern).substr(0, kMaxDatePatternLen);
  const std::vector<Token> tokens = tokensOf(used);
  const Civil c = civilFromDays(modelStep(source, tokens, n).result);
  std::string expected(used.size(), '#');
  for (const Token& t : tokens) {
    if (t.kind == Kind::kYear4) putDigits(expected, t.pos, 4, c.y);
    if (t.kind == Kind::kYear2) putDigits(expected, t.pos, 2, c.y % 100);
    if (t.kind == Kind::kMonth) putDigits(expected, t.pos, 2, c.m);
    if (t.kind == Kind::kDay) putDigits(expected, t.pos, 2, c.d);
  }

  // Exactly the pattern's length and the zero, on the heap.
  std::vector<char> dest(used.size() + 1, '#');
  vdGetNextDate(source.c_str(), dest.data(), pattern.c_str(), n);
  FUZZ_CHECK(dest.back() == '\0');
  FUZZ_CHECK(std::string_view(dest.data(), used.size()) == expected);

  std::vector<char> inPlace = mutableCopy(source);
  if (inPlace.size() < used.size() + 1) inPlace.resize(used.size() + 1, '\0');
  vdGetNextDate(inPlace.data(), inPlace.data(), pattern.c_str(), n);
  FUZZ_CHECK(inPlace[used.size()] == '\0');
  for (const Token& t : tokens) {
    if (t.kind == Kind::kOther) continue;
    FUZZ_CHECK(std::string_view(inPlace.data() + t.pos, t.width) ==
               std::string_view(expected).substr(t.pos, t.width));
  }
  return std::string(dest.data(), used.size());
}

int dayCountAt(const std::vector<std::string>& args, size_t i) {
  if (i >= args.size()) return 1;
  const long long v = std::strtoll(args[i].c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

void checkDayArg(const std::string& arg) {
  const DayArg read = parseDayArg(arg.c_str());
  const int rc = read.fault.empty() ? 0 : -1;
  if (arg.size() < 8) {
    FUZZ_CHECK(rc == -1);
    return;
  }
  const int64_t y = pieceValue(arg, 0, 4);
  const int64_t m = pieceValue(arg, 4, 2);
  const int64_t d = pieceValue(arg, 6, 2);
  const bool valid = y >= 2000 && y <= 2100 && isRealDay(y, m, d);
  FUZZ_CHECK(rc == (valid ? 0 : -1));
  if (!valid) return;
  FUZZ_CHECK(argumentText(read.day) == eightDigits({y, m, d}));
  FUZZ_CHECK(argumentText(read.day + std::chrono::days{1}) ==
             eightDigits(civilFromDays(daysFromCivil(y, m, d) + 1)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::vector<std::string> args = splitArguments(data, size);
  const std::string& source = args[0];
  const std::string pattern = args.size() > 1 && !args[1].empty() ? args[1] : "YYYYMMDD";
  const int n = dayCountAt(args, 2);
  const int m = dayCountAt(args, 3);

  checkDayArg(source);
  if (source.size() >= 8) {
    const int64_t y = pieceValue(source, 0, 4);
    const int64_t mo = pieceValue(source, 4, 2);
    const int64_t d = pieceValue(source, 6, 2);
    FUZZ_CHECK(isCalendarDay(static_cast<int>(y), static_cast<int>(mo), static_cast<int>(d)) ==
               isRealDay(y, mo, d));
  }

  // Any pattern: the model's day at the pattern's positions.
  (void)checkedStep(source, pattern, n);

  // The tool's pattern: eight digits, a real day, and steps that add up.
  const std::string eight = "YYYYMMDD";
  const std::string byN = checkedStep(source, eight, n);
  const std::string byNM = checkedStep(byN, eight, m);
  FUZZ_CHECK(isEightDigitDay(byN) && isEightDigitDay(byNM));
  const int64_t total = int64_t{n} + m;
  if (total >= INT_MIN && total <= INT_MAX) {
    const std::string byTotal = checkedStep(source, eight, static_cast<int>(total));
    const std::vector<Token> tokens = tokensOf(eight);
    const Step first = modelStep(source, tokens, n);
    const Step second = modelStep(byN, tokens, m);
    const Step whole = modelStep(source, tokens, total);
    const bool held = first.unclamped != first.result || second.unclamped != second.result ||
                      whole.unclamped != whole.result;
    if (!held) FUZZ_CHECK(byNM == byTotal);
  }
  return 0;
}
