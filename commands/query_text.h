// The field list and filter condition of the transaction query, and the
// SELECT statement made from them.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "commands/day_text.h"

// Buffer sizes, terminating zero included.
inline constexpr int kConditionSize = 2048;
inline constexpr int kStatementSize = 10240;

// The two bounds of the statement's range as the server reads them:
// "YYYY-MM-DD", and a zero.
using DayParam = std::array<char, 11>;

// Lower-cases the ASCII letters of `pszText` in place, in the SQL code only:
// quoted text ('...', "...", E'...', U&'...', U&"...", $$...$$, $tag$...$tag$)
// and comments stay exactly as written.
void vdLowerOutsideQuotes(char* pszText);

// True when `text`, blanks around it ignored and in any case, is exactly `word`.
bool boIsWholeWord(std::string_view text, std::string_view word);

// The SELECT list for a lower-cased field list: "*" for the word all.
std::string_view svSelectList(std::string_view fields);

// Translates a lower-cased condition into SQL in `out`: in the code every
// "and" becomes " AND " and every "or" becomes " OR ", also inside longer
// words; quoted text and comments are copied unchanged. The word none, and a
// condition that is empty or only blanks, give an empty filter. Returns 0, or
// -1 when the result does not fit `out` with its terminating zero.
int inTranslateCondition(const char* pszCondition, std::span<char> out);

// True when no bracket of the filter's code closes one that the filter did
// not open: in the statement the filter then stays inside its own brackets,
// joined to the day range by AND, whatever it says.
bool boFilterKeepsItsBrackets(std::string_view filter);

// The offset of the first bracket that breaks that rule, or -1.
int inUnopenedBracketAt(std::string_view filter);

// The offset of the first backslash in the filter's E'...' text that comes
// right after a byte above 127, or -1. Whether it ends the text depends on
// the client encoding, so the tool cannot tell where the text ends.
int inUnsureBackslashAt(std::string_view filter);

// Writes the export's statement into `out`: the SELECT of `fields` over the
// days from parameter $1 up to, not including, parameter $2 (see
// vdPutDayParam), with `filter` in brackets after the range when it is not
// empty. Every chunk runs this same text. Returns 0, or -1 when it does not
// fit.
int inBuildStatement(std::string_view fields, std::string_view filter, std::span<char> out);

// Writes `day` as a bound of the statement's range.
void vdPutDayParam(const DayText& day, DayParam& param);
