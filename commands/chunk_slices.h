// A large chunk read as slices of its time range on several connections at
// once, all in one snapshot, so that the slices' rows one after the other
// are the rows, in the order, that the chunk's one statement gives.
//
// That order is the scan's. A scan of the table in its own order is cut by
// ranges of its blocks, each slice read by a scan of its range, which
// keeps that order (PostgreSQL 14 on); a scan through an index in the order
// of datetime is cut by time, each slice through the same index. The chunk
// is sliced only when the server plans the chunk's statement one of these
// ways and each slice's statement the matching way. Otherwise the chunk's
// one statement runs alone.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "commands/days.h"
#include "commands/export_io.h"

struct SlicedChunk {
  std::string_view fields;  // as the statement takes them
  std::string_view filter;
  Day first;                // the chunk's days, up to, not including, `after`
  Day after;
  std::string_view statement;  // the chunk's one statement
};

// The bound between slice `part - 1` and slice `part` of `parts` equal
// slices of the chunk's time: the day itself at either end, a moment
// within ("2024-03-04 08:00:00") between.
std::string sliceBound(Day first, Day after, int part, int parts);

// Starts the chunk on `readers` (connected, two or more): as slices, one on
// each, or its one statement on readers[0]. Returns how many readers, from
// the first, now stream rows: one per slice, in the slices' order; -1 when
// the chunk could not start (why in `why`; nothing is left open).
int startSlices(ExportIo& io, std::span<const int> readers, const SlicedChunk& chunk,
                DBFailure& why);
