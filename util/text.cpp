#include "util/text.h"

#include <cstdlib>
#include <cstring>

void vdAsciiToUpper(char* pszText) {
  for (char* p = pszText; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - ('a' - 'A'));
  }
}

void vdAsciiToLower(char* pszText) {
  for (char* p = pszText; *p != '\0'; ++p) {
    *p = chAsciiLower(*p);
  }
}

char* pszSplitString(const char* pszText, const char* pszDelims, int inIndex) {
  if (inIndex < 0) return nullptr;
  const size_t textLen = std::strlen(pszText);
  size_t offset = 0;
  for (int token = 0;; ++token) {
    if (offset >= textLen) return nullptr;
    const size_t tokenLen = std::strcspn(pszText + offset, pszDelims);
    if (token == inIndex) {
      auto* copy = static_cast<char*>(std::calloc(tokenLen + 1, 1));
      if (copy != nullptr) std::memcpy(copy, pszText + offset, tokenLen);
      return copy;
    }
    offset += tokenLen + 1;
  }
}

char* pszAddStringPtr(char* pszList, const char* pszItem) {
  const size_t itemLen = std::strlen(pszItem);
  if (pszList == nullptr) {
    auto* copy = static_cast<char*>(std::calloc(itemLen + 1, 1));
    if (copy != nullptr) std::memcpy(copy, pszItem, itemLen + 1);
    return copy;
  }
  const size_t listLen = std::strlen(pszList);
  auto* grown = static_cast<char*>(std::calloc(listLen + itemLen + 2, 1));
  if (grown != nullptr) {
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a prefix; '|' and the item follow
    std::memcpy(grown, pszList, listLen);
    grown[listLen] = '|';
    std::memcpy(grown + listLen + 1, pszItem, itemLen + 1);
  }
  std::free(pszList);
  return grown;
}
