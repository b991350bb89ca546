// The statement of one chunk of the transaction query.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "commands/days.h"
#include "commands/output_format.h"

// The statement's buffer, terminating zero included.
inline constexpr size_t kStatementSize = 10240;

// The statement as buildStatement writes it, piece by piece:
//   kSelectStart fields kRangeFrom FIRST kRangeTo AFTER kRangeEnd
//   [kFilterStart filter kFilterEnd] kSelectEnd kCopyOptions
inline constexpr std::string_view kSelectStart = "COPY (SELECT ";
// The operators are named with their schema: a search path that puts
// another schema first cannot put operators of its own in their place.
inline constexpr std::string_view kRangeFrom =
    " FROM transaction WHERE transaction.datetime OPERATOR(pg_catalog.>=) '";
inline constexpr std::string_view kRangeTo = "' AND transaction.datetime OPERATOR(pg_catalog.<) '";
inline constexpr std::string_view kRangeEnd = "'";
inline constexpr std::string_view kFilterStart = " AND (";
inline constexpr std::string_view kFilterEnd = "\n)";
inline constexpr std::string_view kSelectEnd = ")";

// What every statement has besides the field list and the filter.
inline constexpr size_t kStatementFixedLength = kSelectStart.size() + kRangeFrom.size() +
                                                kIsoTextLength + kRangeTo.size() + kIsoTextLength +
                                                kRangeEnd.size() + kSelectEnd.size() +
                                                kCopyOptions.size();
// What a filter brings besides its own text.
inline constexpr size_t kFilterFrameLength = kFilterStart.size() + kFilterEnd.size();

// The longest field list that fits kStatementSize without a filter; with
// one, the field list and the filter together may have kFilterFrameLength
// bytes less.
inline constexpr size_t kLongestFieldList = kStatementSize - 1 - kStatementFixedLength;
inline constexpr size_t kLongestFieldsAndFilter = kLongestFieldList - kFilterFrameLength;

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

// The same between two bounds given as text: days as buildStatement writes
// them, or a moment of a day ("2024-03-04 08:00:00") for a slice of a
// chunk, which the server reads in the session's time zone as it reads a
// day.
size_t buildStatementBetween(std::string_view fields, std::string_view filter,
                             std::string_view from, std::string_view to, std::span<char> out);

// The SELECT inside a statement buildStatement wrote, for EXPLAIN.
std::string_view selectOf(std::string_view statement);
