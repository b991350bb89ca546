// The SELECT statement of the transaction query and the day bounds it runs
// with.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "commands/days.h"

// The statement's buffer, terminating zero included.
inline constexpr size_t kStatementSize = 10240;

// The select list for a lower-cased field list: "*" for the word all.
std::string_view selectList(std::string_view fields);

// Writes the export's statement into `out`: the SELECT of `fields` from the
// day in parameter $1 up to, not including, the day in parameter $2 (see
// putDayParam), with `filter` in brackets after the range when it is not
// empty. The bounds are compared without a cast, so the server gives the
// parameters the column's own type and converts them once, when they are
// bound: nothing the filter does to the session (its time zone) moves them.
// A line break goes before the closing bracket, so that a filter ending in
// a -- comment does not comment it out. Every chunk runs this same text.
// Returns the statement's length; `out` holds it whole only when that is
// less than out.size().
size_t buildStatement(std::string_view fields, std::string_view filter, std::span<char> out);

// A bound of the statement's range as the server reads it: "YYYY-MM-DD" and a zero.
using DayParam = std::array<char, 11>;

// Writes `day` as a bound of the statement's range.
void putDayParam(Day day, DayParam& param);
