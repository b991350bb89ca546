#include "commands/encrypt_api_key.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "util/diagnostics.h"
#include "util/hex.h"
#include "util/output.h"

namespace {

constexpr std::string_view kCipherKey = "#^+K-BLUE CODE%;";
constexpr unsigned char kChainSeed = 0x5C;

// Tells why `key` is refused; false when it is a valid key.
bool boRefuseKey(std::string_view key) {
  if (key.empty()) {
    vdTellError({"the API key is empty"});
    return true;
  }
  if (key.size() > kMaxApiKeyDigits) {
    vdTellError({"the API key is ", std::to_string(key.size()), " characters long; at most ",
                 std::to_string(kMaxApiKeyDigits), " hexadecimal digits are taken"});
    return true;
  }
  const size_t bad = firstNonHexDigit(key);
  if (bad == key.size()) return false;
  vdTellError({"the API key holds ", quoted(key.substr(bad, 1)), " at position ",
               std::to_string(bad + 1), " (counting from 1), which is not a hexadecimal digit"});
  if (key.starts_with("0x") || key.starts_with("0X")) {
    vdTellHint({"write the key without the 0x in front"});
  }
  return true;
}

template <typename T>
std::unique_ptr<T[]> pbAllocZeroed(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

}  // namespace

void vdEncryptDataByte(const unsigned char* pbIn, unsigned char* pbOut, int inCount) {
  unsigned char chain = kChainSeed;
  for (int i = 0; i < inCount; ++i) {
    chain = static_cast<unsigned char>(chain ^ pbIn[i]);
    pbOut[i] = static_cast<unsigned char>(chain ^ static_cast<unsigned char>(kCipherKey[static_cast<size_t>(i) % kCipherKey.size()]));
    chain = pbOut[i];
  }
}

Outcome vdEncryptApiKey(const char* pszKeyText) {
  const std::string_view key(pszKeyText);
  if (boRefuseKey(key)) return Outcome::kInvalidApiKey;
  // An odd number of digits gets a leading F.
  const size_t padded = key.size() + key.size() % 2;
  const auto text = pbAllocZeroed<char>(padded + 1);
  const auto output = pbAllocZeroed<char>(padded + 1);
  const size_t n = padded / 2;
  const auto plain = pbAllocZeroed<unsigned char>(n + 1);
  const auto cipher = pbAllocZeroed<unsigned char>(n + 1);
  if (!text || !output || !plain || !cipher) return Outcome::kAllocationFailed;
  if (padded != key.size()) text[0] = 'F';
  std::memcpy(text.get() + (padded - key.size()), key.data(), key.size());

  vdAscii2Hex(text.get(), plain.get());
  vdEncryptDataByte(plain.get(), cipher.get(), static_cast<int>(n));
  vdHex2Ascii(cipher.get(), static_cast<int>(n), output.get());
  printText(std::string_view(output.get(), padded));
  return Outcome::kPrinted;
}
