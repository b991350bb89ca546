#include "util/hex.h"

#include <array>
#include <cstring>

#include "util/text.h"

namespace {

// Value of a hex digit in either case, -1 for anything else.
int inHexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool boIsHexText(std::string_view text) { return inFirstNonHexDigit(text) == text.size(); }

size_t inFirstNonHexDigit(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && inHexDigitValue(text[i]) >= 0) ++i;
  return i;
}

void vdAscii2Hex(const char* pszText, unsigned char* pbOut) {
  size_t digits = std::strlen(pszText);
  if (digits > kMaxHexDigits) digits = kMaxHexDigits;

  // Room for the digits, a leading '0' when their count is odd, and a zero.
  std::array<char, kMaxHexDigits + 2> work{};
  size_t start = 0;
  if (digits % 2 != 0) {
    work[0] = '0';
    start = 1;
  }
  std::memcpy(work.data() + start, pszText, digits);
  digits += start;
  vdAsciiToUpper(work.data());

  for (size_t p = 0; p < digits; ++p) {
    unsigned char& byte = pbOut[p / 2];
    const int value = inHexDigitValue(work[p]);
    if (value < 0) {
      std::memset(pbOut, 0, p / 2 + 1);
      return;
    }
    if (p % 2 == 0) {
      byte = static_cast<unsigned char>(value << 4);
    } else {
      byte = static_cast<unsigned char>(byte | value);
    }
  }
}

void vdHex2Ascii(const unsigned char* pbIn, int inCount, char* pszOut) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  const size_t count = inCount > 0 ? static_cast<size_t>(inCount) : 0;
  for (size_t i = 0; i < count; ++i) {
    pszOut[2 * i] = kDigits[pbIn[i] >> 4];
    pszOut[2 * i + 1] = kDigits[pbIn[i] & 0x0F];
  }
  pszOut[2 * count] = '\0';
}
