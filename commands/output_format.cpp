#include "commands/output_format.h"

#include <cstring>

#include "commands/export_report.h"
#include "util/diagnostics.h"
#include "util/spool.h"

FormatChoice formatFromValue(const char* value) {
  if (value == nullptr) return {};
  const std::string_view text(value);
  if (text == "text") return {OutputFormat::kText, ""};
  if (text == "copy") return {OutputFormat::kCopy, ""};
  if (text.empty()) {
    return {OutputFormat::kText, std::string(kFormatVariable) +
                                     " is set but empty; set it to text or copy, or unset it"};
  }
  return {OutputFormat::kText,
          std::string(kFormatVariable) + " " + quoted(text) + " is neither text nor copy"};
}

namespace {

constexpr bool isOctal(char c) { return c >= '0' && c <= '7'; }

constexpr int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr bool breaksLine(char c) { return c == '|' || c == '\n' || c == '\r'; }

// Decodes the escape of `body` whose byte after the backslash is at `at`;
// returns the position just past it and sets `c` to what it stands for.
// Octal and hex values keep their low eight bits, as COPY FROM does.
size_t decodeEscape(std::string_view body, size_t at, char& c) {
  const size_t end = body.size();
  const char first = body[at++];
  switch (first) {
    case 'b': c = '\b'; return at;
    case 'f': c = '\f'; return at;
    case 'n': c = '\n'; return at;
    case 'r': c = '\r'; return at;
    case 't': c = '\t'; return at;
    case 'v': c = '\v'; return at;
    case 'x': {
      const int high = at < end ? hexValue(body[at]) : -1;
      if (high < 0) break;  // a lone \x is an 'x'
      int value = high;
      const int low = ++at < end ? hexValue(body[at]) : -1;
      if (low >= 0) {
        value = value * 16 + low;
        ++at;
      }
      c = static_cast<char>(value);
      return at;
    }
    default:
      if (!isOctal(first)) break;
      unsigned value = static_cast<unsigned>(first - '0');
      for (int more = 0; more < 2 && at < end && isOctal(body[at]); ++more) {
        value = value * 8 + static_cast<unsigned>(body[at++] - '0');
      }
      c = static_cast<char>(value & 0377U);
      return at;
  }
  c = first;
  return at;
}

// Copies `n` bytes unless they are already in place (decoding in place
// moves nothing until the first escape).
void moveBytes(char* to, const char* from, size_t n) {
  if (to != from && n != 0) std::memmove(to, from, n);
}

// Decodes a row of an encoding in which ASCII bytes are always ASCII: the
// bytes between backslashes go by memchr and memmove.
DecodedRow decodeAsciiSafeRow(std::string_view row, char* out) {
  const bool hasNewline = !row.empty() && row.back() == '\n';
  const std::string_view body = hasNewline ? row.substr(0, row.size() - 1) : row;
  const size_t end = body.size();
  const char* const in = body.data();
  DecodedRow decoded;
  size_t at = 0;
  size_t& o = decoded.length;
  size_t escapeEnd = 0;       // just past the last escape: a '|' before it was escaped
  bool valueCounted = false;  // the value being decoded is already among breakingValues
  for (;;) {
    const void* found = std::memchr(in + at, '\\', end - at);
    const size_t plainEnd =
        found == nullptr ? end : static_cast<size_t>(static_cast<const char*>(found) - in);
    // Only a delimiter in the plain bytes starts another value.
    if (valueCounted && std::memchr(in + at, '|', plainEnd - at) != nullptr) valueCounted = false;
    moveBytes(out + o, in + at, plainEnd - at);
    o += plainEnd - at;
    at = plainEnd;
    if (at == end) break;
    if (at + 1 == end) {  // a backslash that ends the row stays
      out[o++] = '\\';
      break;
    }
    const bool valueStarts = at == 0 || (at > escapeEnd && in[at - 1] == '|');
    if (valueStarts && in[at + 1] == 'N' && (at + 2 == end || in[at + 2] == '|')) {
      at += 2;  // NULL: nothing written
      escapeEnd = at;
      continue;
    }
    char c = 0;
    at = decodeEscape(body, at + 1, c);
    escapeEnd = at;
    if (breaksLine(c) && !valueCounted) {
      valueCounted = true;
      ++decoded.breakingValues;
    }
    out[o++] = c;
  }
  if (hasNewline) out[o++] = '\n';
  return decoded;
}

// Decodes a row of an encoding whose multibyte characters may hold ASCII
// bytes: the row is walked character by character, as the server wrote it,
// so that a backslash or '|' inside a character is copied with it.
DecodedRow decodeRowByCharacters(std::string_view row, char* out, ClientEncoding encoding) {
  const bool hasNewline = !row.empty() && row.back() == '\n';
  const std::string_view body = hasNewline ? row.substr(0, row.size() - 1) : row;
  const size_t end = body.size();
  DecodedRow decoded;
  size_t& o = decoded.length;
  bool valueStarts = true;    // `at` is the first byte of a value
  bool valueCounted = false;  // the value being decoded is already among breakingValues
  for (size_t at = 0; at < end;) {
    const char c = body[at];
    if (static_cast<unsigned char>(c) >= 0x80) {
      const size_t length = characterLength(encoding, body, at);
      moveBytes(out + o, body.data() + at, length);
      o += length;
      at += length;
      valueStarts = false;
      continue;
    }
    if (c != '\\' || at + 1 == end) {  // a backslash that ends the row stays
      out[o++] = c;
      ++at;
      valueStarts = c == '|';
      if (valueStarts) valueCounted = false;
      continue;
    }
    if (valueStarts && body[at + 1] == 'N' && (at + 2 == end || body[at + 2] == '|')) {
      at += 2;  // NULL: nothing written
      valueStarts = false;
      continue;
    }
    char decodedByte = 0;
    at = decodeEscape(body, at + 1, decodedByte);
    valueStarts = false;
    if (breaksLine(decodedByte) && !valueCounted) {
      valueCounted = true;
      ++decoded.breakingValues;
    }
    out[o++] = decodedByte;
  }
  if (hasNewline) out[o++] = '\n';
  return decoded;
}

}  // namespace

DecodedRow decodeCopyRow(std::string_view row, char* out, ClientEncoding encoding) {
  return encoding == ClientEncoding::kAsciiSafe ? decodeAsciiSafeRow(row, out)
                                                : decodeRowByCharacters(row, out, encoding);
}

bool spoolCopyRow(Spool& spool, std::span<char> row, OutputFormat format, ClientEncoding encoding,
                  size_t& breakingValues) {
  std::string_view line(row.data(), row.size());
  if (format == OutputFormat::kText) {
    const DecodedRow decoded = decodeCopyRow(line, row.data(), encoding);
    breakingValues += decoded.breakingValues;
    line = line.substr(0, decoded.length);
  }
  return spoolWrite(spool, line);
}

void tellBreakingValues(uint64_t count, Day first, Day last) {
  // Such values make lines that cannot be split back into the same rows
  // and fields: the rows stay as they are, but the operator hears of it.
  if (count == 0) return;
  tellWarning({std::to_string(count), count == 1 ? " value holds" : " values hold",
               " '|' or a line break, the first in the rows of ", daysText(first, last),
               ": those lines cannot be split back into the same rows and fields"});
  tellHint({"for lines that read back with COPY FROM or \\copy, set ", kFormatVariable, "=copy"});
}
