// The field list and filter condition of the transaction query, and the
// SELECT statement made from them.
#pragma once

#include <span>
#include <string_view>

#include "commands/day_text.h"

// Buffer sizes, terminating zero included.
inline constexpr int kConditionSize = 2048;
inline constexpr int kStatementSize = 10240;

// Lower-cases the ASCII letters of `pszText` in place, except inside
// '...' and "..." quotes, which stay exactly as written.
void vdLowerOutsideQuotes(char* pszText);

// True when `text`, blanks around it ignored and in any case, is exactly `word`.
bool boIsWholeWord(std::string_view text, std::string_view word);

// The SELECT list for a lower-cased field list: "*" for the word all.
std::string_view svSelectList(std::string_view fields);

// Translates a lower-cased condition into SQL in `out`: outside quotes every
// "and" becomes " AND " and every "or" becomes " OR ", also inside longer
// words; quoted text is copied unchanged. The word none, and a condition
// that is empty or only blanks, give an empty filter. Returns 0, or -1 when
// the result does not fit `out` with its terminating zero.
int inTranslateCondition(const char* pszCondition, std::span<char> out);

// Writes the SELECT over the days from `firstDay` up to, not including,
// `endDay` into `out`, with `filter` in brackets before the day bounds when
// it is not empty. Returns 0, or -1 when the statement does not fit.
int inBuildStatement(std::string_view fields, std::string_view filter, const DayText& firstDay,
                     const DayText& endDay, std::span<char> out);
