#include "util/text.h"

#include <cstdlib>
#include <cstring>

void vdAsciiToUpper(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - ('a' - 'A'));
  }
}

void vdAsciiToLower(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    *p = asciiLower(*p);
  }
}

char* pszSplitString(const char* text, const char* delims, int index) {
  if (index < 0) return nullptr;
  const size_t textLen = std::strlen(text);
  size_t offset = 0;
  for (int token = 0;; ++token) {
    if (offset >= textLen) return nullptr;
    const size_t tokenLen = std::strcspn(text + offset, delims);
    if (token == index) {
      auto* copy = static_cast<char*>(std::calloc(tokenLen + 1, 1));
      if (copy != nullptr) std::memcpy(copy, text + offset, tokenLen);
      return copy;
    }
    offset += tokenLen + 1;
  }
}

char* pszAddStringPtr(char* list, const char* item) {
  const size_t itemLen = std::strlen(item);
  if (list == nullptr) {
    auto* copy = static_cast<char*>(std::calloc(itemLen + 1, 1));
    if (copy != nullptr) std::memcpy(copy, item, itemLen + 1);
    return copy;
  }
  const size_t listLen = std::strlen(list);
  auto* grown = static_cast<char*>(std::calloc(listLen + itemLen + 2, 1));
  if (grown != nullptr) {
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a prefix; '|' and the item follow
    std::memcpy(grown, list, listLen);
    grown[listLen] = '|';
    std::memcpy(grown + listLen + 1, item, itemLen + 1);
  }
  std::free(list);
  return grown;
}
