// ASCII case folding and the '|'-list helpers for heap strings.
#pragma once

// C-locale white space: blank, \t, \n, \v, \f and \r.
constexpr bool boIsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `c` with 'A'..'Z' turned into 'a'..'z'; every other byte unchanged.
constexpr char chAsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Change only the bytes 'a'..'z' (resp. 'A'..'Z') of a zero-terminated text,
// in place. Bytes above 127 are left alone.
void vdAsciiToUpper(char* pszText);
void vdAsciiToLower(char* pszText);

// Returns a malloc'ed copy of token `inIndex` (from 0) of `pszText`, tokens
// being separated by any single byte of `pszDelims`; null when there is no
// such token, the index is negative or the allocation fails. Free with free().
char* pszSplitString(const char* pszText, const char* pszDelims, int inIndex);

// Returns the malloc'ed list `pszList` + "|" + `pszItem` (or a copy of the
// item when the list is null). Always consumes `pszList`, also on failure,
// when null is returned.
char* pszAddStringPtr(char* pszList, const char* pszItem);
