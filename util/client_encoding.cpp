#include "util/client_encoding.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// A name as the server compares them: letters and digits only, lower case.
std::string cleanedName(std::string_view name) {
  std::string clean;
  for (const char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) clean += c;
    if (c >= 'A' && c <= 'Z') clean += static_cast<char>(c - 'A' + 'a');
  }
  return clean;
}

// The encodings other than kAsciiSafe by their cleaned names.
using EncodingName = std::pair<std::string_view, ClientEncoding>;

constexpr std::array<EncodingName, 21> kEmbeddingAscii{{
    {"sjis", ClientEncoding::kSjis},        {"shiftjis", ClientEncoding::kSjis},
    {"mskanji", ClientEncoding::kSjis},     {"win932", ClientEncoding::kSjis},
    {"windows932", ClientEncoding::kSjis},  {"cp932", ClientEncoding::kSjis},
    {"shiftjis2004", ClientEncoding::kSjis},
    {"big5", ClientEncoding::kBig5},        {"win950", ClientEncoding::kBig5},
    {"windows950", ClientEncoding::kBig5},  {"cp950", ClientEncoding::kBig5},
    {"gbk", ClientEncoding::kGbk},          {"win936", ClientEncoding::kGbk},
    {"windows936", ClientEncoding::kGbk},   {"cp936", ClientEncoding::kGbk},
    {"uhc", ClientEncoding::kUhc},          {"win949", ClientEncoding::kUhc},
    {"windows949", ClientEncoding::kUhc},   {"cp949", ClientEncoding::kUhc},
    {"gb18030", ClientEncoding::kGb18030},  {"johab", ClientEncoding::kJohab},
}};

constexpr unsigned char byteAt(std::string_view text, size_t at) {
  return static_cast<unsigned char>(text[at]);
}

}  // namespace

ClientEncoding clientEncodingNamed(std::string_view name) {
  const std::string clean = cleanedName(name);
  const auto* found = std::find_if(kEmbeddingAscii.begin(), kEmbeddingAscii.end(),
                                   [&clean](const EncodingName& e) { return e.first == clean; });
  return found == kEmbeddingAscii.end() ? ClientEncoding::kAsciiSafe : found->second;
}

size_t characterLength(ClientEncoding encoding, std::string_view text, size_t at) {
  const unsigned char first = byteAt(text, at);
  size_t length = 1;
  switch (encoding) {
    case ClientEncoding::kAsciiSafe: break;
    case ClientEncoding::kSjis:
      // 0xA1..0xDF are the half-width katakana, one byte each.
      length = first >= 0xA1 && first <= 0xDF ? 1 : 2;
      break;
    case ClientEncoding::kBig5:
    case ClientEncoding::kGbk:
    case ClientEncoding::kUhc: length = 2; break;
    case ClientEncoding::kGb18030: {
      const bool fourBytes = at + 1 < text.size() && byteAt(text, at + 1) >= 0x30 &&
                             byteAt(text, at + 1) <= 0x39;
      length = fourBytes ? 4 : 2;
      break;
    }
    case ClientEncoding::kJohab:
      // The server counts JOHAB's characters as EUC's: 0x8E two bytes,
      // 0x8F three, every other byte from 0x80 two.
      length = first == 0x8F ? 3 : 2;
      break;
  }
  return std::min(length, text.size() - at);
}

std::string trailingBytesHidden(std::string_view text, ClientEncoding encoding) {
  std::string view(text);
  if (encoding == ClientEncoding::kAsciiSafe) return view;
  for (size_t at = 0; at < view.size();) {
    if (byteAt(text, at) < 0x80) {
      ++at;
      continue;
    }
    const size_t length = characterLength(encoding, text, at);
    for (size_t i = at + 1; i < at + length; ++i) view[i] = static_cast<char>(0x80);
    at += length;
  }
  return view;
}
