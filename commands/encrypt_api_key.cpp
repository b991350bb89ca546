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

// True when `key` is a valid key; otherwise tells why it is refused.
bool keyAccepted(std::string_view key) {
  if (key.empty()) {
    tellError({"the API key is empty"});
    return false;
  }
  if (key.size() > kMaxApiKeyDigits) {
    tellError({"the API key is ", std::to_string(key.size()), " characters long; at most ",
               std::to_string(kMaxApiKeyDigits), " hexadecimal digits are taken"});
    return false;
  }
  const size_t bad = firstNonHexDigit(key);
  if (bad == key.size()) return true;
  tellError({"the API key holds ", quoted(key.substr(bad, 1)), " at position ",
             std::to_string(bad + 1), " (counting from 1), which is not a hexadecimal digit"});
  if (key.starts_with("0x") || key.starts_with("0X")) {
    tellHint({"write the key without the 0x in front"});
  }
  return false;
}

template <typename T>
std::unique_ptr<T[]> allocZeroed(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

}  // namespace

void vdEncryptDataByte(const unsigned char* input, unsigned char* output, int count) {
  unsigned char chain = kChainSeed;
  for (int i = 0; i < count; ++i) {
    const auto keyByte =
        static_cast<unsigned char>(kCipherKey[static_cast<size_t>(i) % kCipherKey.size()]);
    chain = static_cast<unsigned char>(chain ^ input[i]);
    output[i] = static_cast<unsigned char>(chain ^ keyByte);
    chain = output[i];
  }
}

Outcome vdEncryptApiKey(const char* keyText) {
  const std::string_view key(keyText);
  if (!keyAccepted(key)) return Outcome::kInvalidApiKey;
  // An odd number of digits gets a leading F.
  const size_t padded = key.size() + key.size() % 2;
  const auto text = allocZeroed<char>(padded + 1);
  const auto output = allocZeroed<char>(padded + 1);
  const size_t n = padded / 2;
  const auto plain = allocZeroed<unsigned char>(n + 1);
  const auto cipher = allocZeroed<unsigned char>(n + 1);
  if (!text || !output || !plain || !cipher) return Outcome::kAllocationFailed;
  if (padded != key.size()) text[0] = 'F';
  std::memcpy(text.get() + (padded - key.size()), key.data(), key.size());

  vdAscii2Hex(text.get(), plain.get());
  vdEncryptDataByte(plain.get(), cipher.get(), static_cast<int>(n));
  vdHex2Ascii(cipher.get(), static_cast<int>(n), output.get());
  printText(std::string_view(output.get(), padded));
  return Outcome::kPrinted;
}
