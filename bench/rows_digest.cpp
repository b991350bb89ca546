// An order-free digest of an export's lines, so that the rows of two clients
// can be compared whatever order each got them in, without sorting a
// gigabyte of text. Reads lines from standard input and prints
//   LINES DIGEST TEXT-DIGEST BACKWARDS
// DIGEST sums a hash of every line as it is, TEXT-DIGEST the same with each
// field that is exactly \N (COPY's NULL) taken as empty, as the tool's text
// format writes a NULL. BACKWARDS counts the lines whose day (the first ten
// bytes of the second field, the datetime) comes before the previous
// line's: 0 when the days are in order, as chunks of one day keep them.
//   rows_digest < lines
#include <stdio.h>  // getline

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// FNV-1a, then splitmix64's finaliser: a sum of plain FNV values would let
// the low bits of different lines cancel out too easily.
uint64_t lineHash(std::string_view line) {
  uint64_t hash = 14695981039346656037ULL;
  for (const char byte : line) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 1099511628211ULL;
  }
  hash ^= hash >> 30;
  hash *= 0xbf58476d1ce4e5b9ULL;
  hash ^= hash >> 27;
  hash *= 0x94d049bb133111ebULL;
  hash ^= hash >> 31;
  return hash;
}

// The line with every field that is exactly \N emptied.
void nullsAsEmpty(std::string_view line, std::string& text) {
  text.clear();
  for (size_t start = 0;;) {
    const size_t bar = line.find('|', start);
    const std::string_view field = line.substr(start, bar == std::string_view::npos ? bar : bar - start);
    if (field != "\\N") text += field;
    if (bar == std::string_view::npos) return;
    text += '|';
    start = bar + 1;
  }
}

std::string_view dayOf(std::string_view line) {
  const size_t bar = line.find('|');
  if (bar == std::string_view::npos) return {};
  return line.substr(bar + 1, 10);
}

}  // namespace

int main() {
  char* buffer = nullptr;
  size_t capacity = 0;
  uint64_t lines = 0;
  uint64_t digest = 0;
  uint64_t textDigest = 0;
  uint64_t backwards = 0;
  std::string text;
  std::string lastDay;
  for (ssize_t length; (length = getline(&buffer, &capacity, stdin)) > 0;) {
    std::string_view line(buffer, static_cast<size_t>(length));
    if (line.back() == '\n') line.remove_suffix(1);
    ++lines;
    digest += lineHash(line);
    nullsAsEmpty(line, text);
    textDigest += lineHash(text);
    const std::string_view day = dayOf(line);
    if (day < lastDay) ++backwards;
    lastDay.assign(day);
  }
  std::free(buffer);
  if (std::ferror(stdin)) {
    std::perror("rows_digest: standard input");
    return 1;
  }
  std::printf("%llu %016llx %016llx %llu\n", static_cast<unsigned long long>(lines),
              static_cast<unsigned long long>(digest), static_cast<unsigned long long>(textDigest),
              static_cast<unsigned long long>(backwards));
  return 0;
}
