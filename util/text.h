// ASCII case folding and the '|'-list helpers for heap strings.
#pragma once

// C-locale white space: blank, \t, \n, \v, \f and \r.
constexpr bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `c` with 'A'..'Z' turned into 'a'..'z'; every other byte unchanged.
constexpr char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Change only the bytes 'a'..'z' (resp. 'A'..'Z') of a zero-terminated text,
// in place. Bytes above 127 are left alone.
void vdAsciiToUpper(char* text);
void vdAsciiToLower(char* text);

// Returns a malloc'ed copy of token `index` (from 0) of `text`, tokens
// being separated by any single byte of `delims`; null when there is no
// such token, the index is negative or the allocation fails. Free with free().
char* pszSplitString(const char* text, const char* delims, int index);

// Returns the malloc'ed list `list` + "|" + `item` (or a copy of the
// item when the list is null). Always consumes `list`, also on failure,
// when null is returned.
char* pszAddStringPtr(char* list, const char* item);
