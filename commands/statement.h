// The statement of one chunk of the transaction query.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "commands/days.h"

// The statement's buffer, terminating zero included.
inline constexpr size_t kStatementSize = 10240;

// The select list for a lower-cased field list: "*" for the word all.
std::string_view selectList(std::string_view fields);

// Writes the statement of the chunk from `first` up to, not including,
// `after` into `out`: COPY of the SELECT of `fields` over those days, with
// `filter` in brackets after the range when it is not empty, to standard
// output with '|' between the values. The days are written as quoted text
// without a type: the server gives them the column's own type and reads them
// once, when it parses the statement, so nothing the filter does to the
// session (its time zone) moves them. A line break goes before the closing
// bracket, so that a filter ending in a -- comment does not comment it out.
// Every chunk's statement is as long as any other. Returns the statement's
// length; `out` holds it whole only when that is less than out.size().
size_t buildStatement(std::string_view fields, std::string_view filter, Day first, Day after,
                      std::span<char> out);
