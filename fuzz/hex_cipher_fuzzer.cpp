// Fuzzes hex conversion (util/hex) and the API-key cipher
// (commands/encrypt_api_key), with the decipher written out here.
//
// Input: raw bytes, used both as bytes and, up to the first zero, as text.
// Checked:
//  - vdHex2Ascii writes two uppercase hex digits per byte and the zero, and
//    vdAscii2Hex reads them back to the same bytes;
//  - vdAscii2Hex on any text writes exactly (digits + 1) / 2 bytes: the
//    value of the digits, or zeros up to the byte of the first bad digit;
//  - the cipher is a bijection for every length: deciphering its output
//    gives the input, and enciphering the deciphered input gives it back;
//  - enc_api_key prints, for 1 to 2048 hex digits, two uppercase digits per
//    byte that decipher to the key (an odd key read with an F in front), and
//    refuses everything else with the one message.

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands/encrypt_api_key.h"
#include "fuzz/fuzz_support.h"
#include "util/hex.h"

namespace {

using Bytes = std::vector<unsigned char>;

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isUpperHex(std::string_view text) {
  return std::ranges::all_of(
      text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// Even-length hex text as bytes.
Bytes decodeHex(std::string_view text) {
  Bytes bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] =
        static_cast<unsigned char>(digitValue(text[2 * i]) * 16 + digitValue(text[2 * i + 1]));
  }
  return bytes;
}

// Each enciphered byte is the previous one (0x5C at first) XOR the plain
// byte XOR the key byte; so the plain byte is the same XOR taken back.
Bytes decipher(const Bytes& cipher) {
  static constexpr std::string_view kKey = "#^+K-BLUE CODE%;";
  Bytes plain(cipher.size());
  unsigned char previous = 0x5C;
  for (size_t i = 0; i < cipher.size(); ++i) {
    plain[i] = static_cast<unsigned char>(cipher[i] ^ previous ^
                                          static_cast<unsigned char>(kKey[i % kKey.size()]));
    previous = cipher[i];
  }
  return plain;
}

Bytes encipher(const Bytes& plain) {
  Bytes cipher(plain.size() + 1, 0xEE);
  vdEncryptDataByte(plain.data(), cipher.data(), static_cast<int>(plain.size()));
  FUZZ_CHECK(cipher.back() == 0xEE);
  cipher.pop_back();
  return cipher;
}

void checkSpellAndRead(const Bytes& bytes) {
  std::vector<char> text(2 * bytes.size() + 1, 'x');
  vdHex2Ascii(bytes.data(), static_cast<int>(bytes.size()), text.data());
  const std::string_view spelled(text.data(), 2 * bytes.size());
  FUZZ_CHECK(text.back() == '\0' && isUpperHex(spelled));
  FUZZ_CHECK(decodeHex(spelled) == bytes);
  if (spelled.size() > size_t{kMaxHexDigits}) return;
  Bytes back(bytes.size());
  vdAscii2Hex(text.data(), back.data());
  FUZZ_CHECK(back == bytes);
}

void checkRead(const std::string& text) {
  FUZZ_CHECK(isHexText(text) ==
             (text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos));
  const std::string_view digits = std::string_view(text).substr(0, kMaxHexDigits);
  const std::string padded = (digits.size() % 2 != 0 ? "0" : "") + std::string(digits);
  Bytes out(padded.size() / 2 + 1, 0xEE);  // one byte more that must stay untouched
  vdAscii2Hex(text.c_str(), out.data());
  FUZZ_CHECK(out.back() == 0xEE);
  const size_t bad = padded.find_first_not_of("0123456789abcdefABCDEF");
  if (bad == std::string::npos) {
    FUZZ_CHECK(Bytes(out.begin(), out.end() - 1) == decodeHex(padded));
    return;
  }
  for (size_t i = 0; i <= bad / 2; ++i) FUZZ_CHECK(out[i] == 0);
}

void checkApiKey(const std::string& key) {
  std::string told;
  Outcome outcome = Outcome::kSuccess;
  const std::string printed =
      captureStdout([&] { outcome = vdEncryptApiKey(key.c_str()); }, &told);
  const size_t bad = key.find_first_not_of("0123456789abcdefABCDEF");
  const bool valid = !key.empty() && key.size() <= size_t{kMaxApiKeyDigits} &&
                     bad == std::string::npos;
  FUZZ_CHECK(told.empty() == valid);
  if (!valid) {
    FUZZ_CHECK(outcome == Outcome::kInvalidApiKey && printed.empty());
    // Within the length, the first character that is not a digit, by position.
    if (!key.empty() && key.size() <= size_t{kMaxApiKeyDigits}) {
      FUZZ_CHECK(told.find(" at position " + std::to_string(bad + 1) + " (") != std::string::npos);
    }
    return;
  }
  const std::string padded = (key.size() % 2 != 0 ? "F" : "") + key;
  FUZZ_CHECK(outcome == Outcome::kPrinted);
  FUZZ_CHECK(printed.size() == padded.size() && isUpperHex(printed));
  FUZZ_CHECK(decipher(decodeHex(printed)) == decodeHex(padded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const Bytes bytes(data, data + size);
  const auto* chars = reinterpret_cast<const char*>(data);
  const std::string text(chars, strnlen(chars, size));

  checkSpellAndRead(bytes);
  checkRead(text);

  FUZZ_CHECK(decipher(encipher(bytes)) == bytes);
  FUZZ_CHECK(encipher(decipher(bytes)) == bytes);

  checkApiKey(text);
  return 0;
}
