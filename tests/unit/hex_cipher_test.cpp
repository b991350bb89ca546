#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/encrypt_api_key.h"
#include "tests/support/final_message.h"
#include "util/hex.h"

using Bytes = std::vector<unsigned char>;

TEST(HexText, PacksDigitsAndSpellsBytes) {
  // A bad digit clears what was written; only the first 2048 digits count.
  const std::pair<std::string, Bytes> cases[] = {
      {"1a2B", {0x1A, 0x2B}}, {"ABC", {0x0A, 0xBC}}, {"12G4", {0, 0}}, {"1G", {0}},
      {std::string(2049, '1'), Bytes(1024, 0x11)}};
  for (const auto& [text, bytes] : cases) {
    SCOPED_TRACE(text.substr(0, 8));
    Bytes out(bytes.size() + 1, 0xEE);
    vdAscii2Hex(text.c_str(), out.data());
    EXPECT_EQ(Bytes(out.begin(), out.end() - 1), bytes);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past the converted bytes";
  }
  const unsigned char bytes[] = {0x00, 0xFF, 0x5a};
  char text[7] = "xxxxxx";
  vdHex2Ascii(bytes, 3, text);
  EXPECT_STREQ(text, "00FF5A");
  vdHex2Ascii(bytes, 0, text);
  EXPECT_STREQ(text, "");
}

TEST(EncryptDataByte, ChainsEachByteUnderTheKey) {
  // Longer than the 16-byte key; undoing the chain must give the input back.
  static constexpr char kKey[] = "#^+K-BLUE CODE%;";
  Bytes in(40);
  Bytes out(40);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i * 37 + 5);
  vdEncryptDataByte(in.data(), out.data(), static_cast<int>(in.size()));
  unsigned char prev = 0x5C;
  for (size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(out[i] ^ prev ^ kKey[i % 16], in[i]) << "byte " << i;
    prev = out[i];
  }
}

namespace {

std::string encryptOutput(const std::string& key) {
  testing::internal::CaptureStdout();
  const Outcome outcome = vdEncryptApiKey(key.c_str());
  EXPECT_EQ(std::fflush(stdout), 0);
  return testing::internal::GetCapturedStdout() + finalMessage(outcome);
}

}  // namespace

TEST(EncryptApiKey, PrintsCipherOrRefuses) {
  const std::string kRefused = finalMessage(Outcome::kInvalidApiKey);
  // 1A 2B: 0x5C^0x1A^'#' = 0x65, 0x65^0x2B^'^' = 0x10; A is padded to FA.
  const std::pair<std::string, std::string> cases[] = {
      {"1a2B", "6510"}, {"1A2B", "6510"}, {"A", "85"}, {"0000", "7F21"},
      {"", kRefused}, {"12G4", kRefused}, {"1a2B ", kRefused}, {std::string(2049, '0'), kRefused}};
  for (const auto& [key, out] : cases) EXPECT_EQ(encryptOutput(key), out) << key.substr(0, 8);
  const std::string longest = encryptOutput(std::string(2048, '0'));
  EXPECT_EQ(longest.size(), 2048U);
  EXPECT_EQ(longest.substr(0, 4), "7F21");
}
