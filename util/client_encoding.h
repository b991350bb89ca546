// Client encodings whose multibyte characters can hold ASCII bytes (SJIS's
// second byte may be '\' or 'A'), how long a character is in them, and a
// view of a text in which such bytes can no longer pass for ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// How the bytes of a client encoding group into characters. kAsciiSafe
// covers every encoding in which a byte below 0x80 is always an ASCII
// character of its own (UTF8, SQL_ASCII, the LATIN and WIN single-byte
// ones, EUC_*, MULE_INTERNAL, ...); the others are the encodings the server
// accepts for clients only, where the bytes after a first byte of 0x80 or
// more may be anything.
enum class ClientEncoding : uint8_t {
  kAsciiSafe,
  kSjis,     // SJIS, SHIFT_JIS_2004
  kBig5,
  kGbk,
  kUhc,
  kGb18030,
  kJohab,
};

// The encoding named `name`, in any of the server's spellings and aliases
// (SJIS, Shift_JIS, win932, big5, WIN950, cp936, ...: case, '-' and '_' do
// not count). Every other name, an empty one too, is kAsciiSafe.
ClientEncoding clientEncodingNamed(std::string_view name);

// The bytes of the character of `encoding` that starts with the byte at
// `at`, which is 0x80 or more, as the server counts them when it writes
// COPY's rows; never past the end of `text`.
size_t characterLength(ClientEncoding encoding, std::string_view text, size_t at);

// `text` with every byte that continues a multibyte character of `encoding`
// replaced by 0x80, so that only the ASCII characters read as ASCII: what
// is code, quoted text or comment, where words end and which letters may be
// lower-cased are then decided byte for byte as the server decides them on
// the text once converted. `text` itself for kAsciiSafe.
std::string trailingBytesHidden(std::string_view text, ClientEncoding encoding);
