#include "commands/next_date.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "commands/days.h"
#include "util/int_arg.h"

namespace {

enum class Token { kYear4, kYear2, kMonth, kDay, kOther };

Token tokenAt(std::string_view pattern, size_t pos) {
  const std::string_view rest = pattern.substr(pos);
  if (rest.starts_with("YYYY")) return Token::kYear4;
  if (rest.starts_with("YY")) return Token::kYear2;
  if (rest.starts_with("MM")) return Token::kMonth;
  if (rest.starts_with("DD")) return Token::kDay;
  return Token::kOther;
}

size_t tokenWidth(Token token) {
  switch (token) {
    case Token::kYear4: return 4;
    case Token::kYear2:
    case Token::kMonth:
    case Token::kDay: return 2;
    case Token::kOther: break;
  }
  return 1;
}

// The number in `width` characters of `source` at `pos`, read the atoi way;
// the source may end (zero byte) before the piece does.
int pieceAt(const char* source, size_t pos, size_t width) {
  const size_t available = strnlen(source, pos + width);
  if (available <= pos) return 0;
  return atoiClamped(std::string_view(source + pos, available - pos));
}

// Writes `value` as `width` digits (zero-padded, the lowest digits kept).
void putDigits(char* dest, size_t pos, size_t width, int value) {
  for (size_t i = width; i > 0; --i) {
    dest[pos + i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// The first and last day whose year fits four digits.
constexpr Day kFirstDay{std::chrono::year{0} / 1 / 1};
constexpr Day kLastDay{std::chrono::year{9999} / 12 / 31};

}  // namespace

void vdGetNextDate(const char* pszSource, char* pszDest, const char* pszPattern, int inDays) {
  const std::string_view pattern(pszPattern, strnlen(pszPattern, kMaxDatePatternLen));

  // Read the pieces; like struct tm, the month counts from 0 and may
  // overflow into the year, the day may overflow into later months.
  int64_t year = 1900;
  int64_t month0 = 0;
  int64_t day = 0;
  for (size_t pos = 0; pos < pattern.size();) {
    const Token token = tokenAt(pattern, pos);
    const size_t width = tokenWidth(token);
    switch (token) {
      case Token::kYear4: year = pieceAt(pszSource, pos, width); break;
      case Token::kYear2: year = 2000 + int64_t{pieceAt(pszSource, pos, width)}; break;
      case Token::kMonth: month0 = int64_t{pieceAt(pszSource, pos, width)} - 1; break;
      case Token::kDay: day = pieceAt(pszSource, pos, width); break;
      case Token::kOther: break;
    }
    pos += width;
  }

  // The pieces are at most four digits, so the year stays well within what
  // the calendar represents.
  Day result = rolledOverDay(year, month0, day) + std::chrono::days{inDays};
  if (result < kFirstDay) result = kFirstDay;
  if (result > kLastDay) result = kLastDay;
  const std::chrono::year_month_day ymd = dayParts(result);
  const int outYear = static_cast<int>(ymd.year());
  const int outMonth = static_cast<int>(static_cast<unsigned>(ymd.month()));
  const int outDay = static_cast<int>(static_cast<unsigned>(ymd.day()));

  for (size_t pos = 0; pos < pattern.size();) {
    const Token token = tokenAt(pattern, pos);
    const size_t width = tokenWidth(token);
    switch (token) {
      case Token::kYear4: putDigits(pszDest, pos, width, outYear); break;
      case Token::kYear2: putDigits(pszDest, pos, width, outYear % 100); break;
      case Token::kMonth: putDigits(pszDest, pos, width, outMonth); break;
      case Token::kDay: putDigits(pszDest, pos, width, outDay); break;
      case Token::kOther: break;
    }
    pos += width;
  }
  pszDest[pattern.size()] = '\0';
}
