#include "util/hex.h"

#include <array>
#include <cstring>

#include "util/text.h"

namespace {

// Value of a hex digit in either case, -1 for anything else.
int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool isHexText(std::string_view text) { return firstNonHexDigit(text) == text.size(); }

size_t firstNonHexDigit(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && hexDigitValue(text[i]) >= 0) ++i;
  return i;
}

void vdAscii2Hex(const char* text, unsigned char* out) {
  size_t digits = std::strlen(text);
  if (digits > kMaxHexDigits) digits = kMaxHexDigits;

  // Room for the digits, a leading '0' when their count is odd, and a zero.
  std::array<char, kMaxHexDigits + 2> work{};
  size_t start = 0;
  if (digits % 2 != 0) {
    work[0] = '0';
    start = 1;
  }
  std::memcpy(work.data() + start, text, digits);
  digits += start;
  vdAsciiToUpper(work.data());

  for (size_t p = 0; p < digits; ++p) {
    unsigned char& byte = out[p / 2];
    const int value = hexDigitValue(work[p]);
    if (value < 0) {
      std::memset(out, 0, p / 2 + 1);
      return;
    }
    if (p % 2 == 0) {
      byte = static_cast<unsigned char>(value << 4);
    } else {
      byte = static_cast<unsigned char>(byte | value);
    }
  }
}

void vdHex2Ascii(const unsigned char* bytes, int byteCount, char* out) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  const size_t count = byteCount > 0 ? static_cast<size_t>(byteCount) : 0;
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  out[2 * count] = '\0';
}
