// The field list and the filter condition of the transaction query: how
// they are rewritten for the server, and which are refused before anything
// is sent.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/client_encoding.h"

// The filter's buffer, terminating zero included.
inline constexpr size_t kConditionSize = 2048;

// Every function here that reads SQL text takes the client encoding it is
// written in (the one the session will have, see commands/session_encoding.h).
// In SJIS, BIG5, GBK, UHC, GB18030 and JOHAB a multibyte character may hold
// ASCII bytes ('A', a backslash, '|'); the server converts the text before
// it reads it, so such a byte is part of its character there: it is never
// lower-cased, never read as an and/or, a quote, a bracket or the end of a
// word.

// Lower-cases the ASCII letters of `text` in place, in the SQL code only:
// quoted text and comments stay exactly as written. Case never decides where
// a quoted text or a comment starts or ends, so the server splits the
// result as it splits `text`.
void lowerOutsideQuotes(char* text, ClientEncoding encoding = ClientEncoding::kAsciiSafe);

// True when `text`, blanks around it ignored and in any case, is exactly `word`.
bool isWholeWord(std::string_view text, std::string_view word);

// Writes the filter for `condition` as the operator typed it into `out`: the
// code lower-cased, every "and" of the code as " AND " and every "or" as
// " OR " (also inside longer words: vendor gives vend OR ), quoted text and
// comments byte for byte. What is code is decided on the filter as it is
// written, the way the server will read it: in `x=1 or$$a$$` the " OR "
// puts a blank before "$$", which then opens a quote. The word none, and a
// condition that is empty or only blanks, give an empty filter. Returns the
// filter's length; `out` holds it whole, with its zero, only when that
// length is less than out.size().
size_t translateCondition(std::string_view condition, std::span<char> out,
                          ClientEncoding encoding = ClientEncoding::kAsciiSafe);

// A word of the condition's code inside which the translation found an
// "and" or "or" that was not the whole word (floor, operator_id, brand), as
// typed, and what the translation made of it ("flo OR ").
struct SplitWord {
  std::string word;
  std::string became;
};

// Each word of `condition`, as the operator typed it, that translateCondition
// splits, in order and once each. A word is the letters, digits, _ and bytes
// above 127 around the and/or; an and/or standing alone (a=1 or b=2) is meant
// and is not listed.
std::vector<SplitWord> splitWords(std::string_view condition,
                                  ClientEncoding encoding = ClientEncoding::kAsciiSafe);

// When the translation split a word of `condition`, tells on standard error
// the `filter` that was sent, each split word and what it became, and a hint
// to write such a name quoted. For a statement the server refused; nothing
// when no word was split.
void tellTranslation(std::string_view condition, std::string_view filter,
                     ClientEncoding encoding = ClientEncoding::kAsciiSafe);

// The offset of the first bracket of `text`'s code that closes one `text`
// did not open, or -1.
int unopenedBracketAt(std::string_view text);

// The offset of the first backslash in `text`'s E'...' text that comes
// right after a byte above 127, or -1. Whether it escapes depends on the
// client encoding, so where that text ends is not known.
int unsureBackslashAt(std::string_view text);

// What in a field list would let it reach past the select list: `what` is
// empty when nothing does.
struct FieldListFault {
  size_t at = 0;     // offset in the field list
  std::string what;  // "the keyword from", "a comment", ...
};
FieldListFault fieldListFault(std::string_view fields);

// Why the field list or the filter may not be sent, as an error line and a
// hint for the operator; `error` is empty when both may go. A field list
// that is empty or only blanks names nothing to export.
struct QueryTextRefusal {
  std::string error;
  std::string hint;
};
QueryTextRefusal checkQueryText(std::string_view fields, std::string_view filter,
                                ClientEncoding encoding = ClientEncoding::kAsciiSafe);
