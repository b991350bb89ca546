#include "commands/encrypt_api_key.h"

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "util/hex.h"
#include "util/output.h"

namespace {

constexpr std::string_view kCipherKey = "#^+K-BLUE CODE%;";
constexpr unsigned char kChainSeed = 0x5C;

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

void vdEncryptApiKey(const char* pszKeyText) {
  const std::string_view key(pszKeyText);
  if (key.empty() || key.size() > kMaxApiKeyDigits || !boIsHexText(key)) {
    inPrintText("Error - Invalid Api Key");
    return;
  }
  // An odd number of digits gets a leading F.
  const size_t padded = key.size() + key.size() % 2;
  const auto text = pbAllocZeroed<char>(padded + 1);
  const auto output = pbAllocZeroed<char>(padded + 1);
  const size_t n = padded / 2;
  const auto plain = pbAllocZeroed<unsigned char>(n + 1);
  const auto cipher = pbAllocZeroed<unsigned char>(n + 1);
  if (!text || !output || !plain || !cipher) {
    inPrintText("Error - Allocated Memory Failed");
    return;
  }
  if (padded != key.size()) text[0] = 'F';
  std::memcpy(text.get() + (padded - key.size()), key.data(), key.size());

  vdAscii2Hex(text.get(), plain.get());
  vdEncryptDataByte(plain.get(), cipher.get(), static_cast<int>(n));
  vdHex2Ascii(cipher.get(), static_cast<int>(n), output.get());
  inPrintText(std::string_view(output.get(), padded));
}
