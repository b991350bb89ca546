// Hexadecimal text to bytes and back.
#pragma once

#include <cstddef>
#include <string_view>

// Longest hexadecimal text vdAscii2Hex converts; longer text is cut.
inline constexpr int kMaxHexDigits = 2048;

// True when every character of `text` is a hexadecimal digit.
bool isHexText(std::string_view text);

// The index of the first character of `text` that is not a hexadecimal
// digit; text.size() when there is none.
size_t firstNonHexDigit(std::string_view text);

// Packs the digits of `text` (at most kMaxHexDigits, an odd count read as
// if a '0' stood in front) into `out`, high nibble first. `out` must hold
// (digits + 1) / 2 bytes. A non-hex character stops the conversion and
// leaves every byte written so far as 0.
void vdAscii2Hex(const char* text, unsigned char* out);

// Spells `byteCount` bytes as uppercase digits into `out`, which must hold
// 2 * byteCount + 1 bytes; the text is zero-terminated.
void vdHex2Ascii(const unsigned char* bytes, int byteCount, char* out);
