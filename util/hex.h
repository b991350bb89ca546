// Hexadecimal text to bytes and back.
#pragma once

#include <cstddef>
#include <string_view>

// Longest hexadecimal text vdAscii2Hex converts; longer text is cut.
inline constexpr int kMaxHexDigits = 2048;

// True when every character of `text` is a hexadecimal digit.
bool boIsHexText(std::string_view text);

// The index of the first character of `text` that is not a hexadecimal
// digit; text.size() when there is none.
size_t inFirstNonHexDigit(std::string_view text);

// Packs the digits of `pszText` (at most kMaxHexDigits, an odd count read as
// if a '0' stood in front) into `pbOut`, high nibble first. `pbOut` must hold
// (digits + 1) / 2 bytes. A non-hex character stops the conversion and
// leaves every byte written so far as 0.
void vdAscii2Hex(const char* pszText, unsigned char* pbOut);

// Spells `inCount` bytes as uppercase digits into `pszOut`, which must hold
// 2 * inCount + 1 bytes; the text is zero-terminated.
void vdHex2Ascii(const unsigned char* pbIn, int inCount, char* pszOut);
