#include "commands/chunk_slices.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <vector>

#include "commands/statement.h"

namespace {

// The first line of the plan of a scan of the table in its own order, and
// of one through an index in the index's order ("Index Scan using NAME on
// transaction").
constexpr std::string_view kTableScan = "Seq Scan on transaction";
constexpr std::string_view kBlockScan = "Tid Range Scan on transaction";
constexpr std::string_view kIndexScan = "Index Scan using ";
constexpr std::string_view kOnTable = " on transaction";

// A slice is planned as the chunk was, when nothing else is on offer; local
// to the slice's transaction. In the index's order, or in the table's
// through the range of blocks the slice reads.
constexpr const char* kIndexOrder =
    "SELECT pg_catalog.set_config('enable_seqscan', 'off', true), "
    "pg_catalog.set_config('enable_bitmapscan', 'off', true), "
    "pg_catalog.set_config('enable_tidscan', 'off', true)";
constexpr const char* kTableOrder =
    "SELECT pg_catalog.set_config('enable_indexscan', 'off', true), "
    "pg_catalog.set_config('enable_indexonlyscan', 'off', true), "
    "pg_catalog.set_config('enable_bitmapscan', 'off', true)";

// How a chunk's rows are cut into slices that keep their order.
enum class SliceOrder {
  kNone,   // not at all: the chunk is read whole
  kIndex,  // by time, the index's order being datetime's
  kTable,  // by the table's blocks, read in their order
};

std::string explained(std::string_view statement) {
  return "EXPLAIN (COSTS OFF) " + std::string(selectOf(statement));
}

// The index a plan's first line scans the table through, in its order;
// empty for any other plan. Only a name the server writes unquoted.
std::string_view scannedIndex(std::string_view plan) {
  if (plan.size() <= kIndexScan.size() + kOnTable.size() || !plan.starts_with(kIndexScan) ||
      !plan.ends_with(kOnTable)) {
    return {};
  }
  const std::string_view name =
      plan.substr(kIndexScan.size(), plan.size() - kIndexScan.size() - kOnTable.size());
  if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_$") != std::string_view::npos) {
    return {};
  }
  return name;
}

// Whether the index is a b-tree of the table whose first key is datetime,
// ascending: its order is datetime's.
std::string indexLeadsWithDatetime(std::string_view index) {
  return "SELECT EXISTS (SELECT FROM pg_catalog.pg_index i "
         "JOIN pg_catalog.pg_class c ON c.oid OPERATOR(pg_catalog.=) i.indexrelid "
         "JOIN pg_catalog.pg_am m ON m.oid OPERATOR(pg_catalog.=) c.relam "
         "JOIN pg_catalog.pg_attribute a ON a.attrelid OPERATOR(pg_catalog.=) i.indrelid "
         "AND a.attnum OPERATOR(pg_catalog.=) i.indkey[0] "
         "WHERE i.indrelid OPERATOR(pg_catalog.=) 'transaction'::pg_catalog.regclass "
         "AND c.relname OPERATOR(pg_catalog.=) '" +
         std::string(index) +
         "' AND m.amname OPERATOR(pg_catalog.=) 'btree' "
         "AND a.attname OPERATOR(pg_catalog.=) 'datetime' "
         "AND (i.indoption[0] OPERATOR(pg_catalog.&) 1) OPERATOR(pg_catalog.=) 0)";
}

// The table's blocks now.
constexpr const char* kTableBlocks =
    "SELECT pg_catalog.pg_relation_size('transaction'::pg_catalog.regclass) "
    "OPERATOR(pg_catalog./) pg_catalog.current_setting('block_size')::pg_catalog.int8";

// About this many of the table's blocks are sampled for the bounds of its
// slices: enough to cut them about evenly, few enough to cost milliseconds.
constexpr double kSampledBlocks = 1000;

// The blocks that cut the chunk's rows into `parts` about equal slices, from
// a sample of the table's `blocks` blocks (the same sample for the same
// table), as "{b1,b2,...}"; empty when the sample holds none of them.
std::string blockBounds(const SlicedChunk& chunk, int parts, double blocks) {
  char percent[32];
  (void)std::snprintf(percent, sizeof percent, "%.6f",
                      std::clamp(100 * kSampledBlocks / std::max(blocks, 1.0), 0.001, 100.0));
  std::string fractions;
  for (int part = 1; part < parts; ++part) {
    char fraction[32];
    (void)std::snprintf(fraction, sizeof fraction, "%s%.6f", part > 1 ? "," : "",
                        static_cast<double>(part) / parts);
    fractions += fraction;
  }
  return "SELECT pg_catalog.percentile_disc(ARRAY[" + fractions +
         "]) WITHIN GROUP (ORDER BY b)::pg_catalog.int8[] FROM (SELECT "
         "((transaction.ctid::pg_catalog.text)::pg_catalog.point)[0] AS b "
         "FROM transaction TABLESAMPLE SYSTEM (" +
         std::string(percent) + ") REPEATABLE (0) "
         "WHERE transaction.datetime OPERATOR(pg_catalog.>=) '" +
         isoText(chunk.first) + "' AND transaction.datetime OPERATOR(pg_catalog.<) '" +
         isoText(chunk.after) + "') AS sample";
}

// The blocks of "{b1,b2,...}", one fewer than the parts; empty when there
// are not that many.
std::vector<std::string> blocksOf(std::string_view text, int parts) {
  std::vector<std::string> blocks;
  if (!text.starts_with('{') || !text.ends_with('}')) return {};
  text = text.substr(1, text.size() - 2);
  while (!text.empty()) {
    const size_t comma = text.find(',');
    blocks.emplace_back(text.substr(0, comma));
    if (blocks.back().empty() ||
        blocks.back().find_first_not_of("0123456789") != std::string::npos) {
      return {};
    }
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  if (blocks.size() + 1 != static_cast<size_t>(parts)) return {};
  return blocks;
}

std::string statementOf(const SlicedChunk& chunk, std::string_view from, std::string_view to,
                        std::string_view filter) {
  std::string text(buildStatementBetween(chunk.fields, filter, from, to, {}) + 1, '\0');
  (void)buildStatementBetween(chunk.fields, filter, from, to, text);
  text.pop_back();
  return text;
}

// Slice `part` of `parts`: a part of the chunk's time, or of the table's
// blocks (`blocks` between them, the first slice from the first block on,
// the last to the end), with the chunk's filter after it.
std::string buildSlice(const SlicedChunk& chunk, int part, int parts,
                       const std::vector<std::string>& blocks) {
  if (blocks.empty()) {
    return statementOf(chunk, sliceBound(chunk.first, chunk.after, part, parts),
                       sliceBound(chunk.first, chunk.after, part + 1, parts), chunk.filter);
  }
  std::string range;
  const auto at = static_cast<size_t>(part);
  if (part > 0) range = "transaction.ctid OPERATOR(pg_catalog.>=) '(" + blocks[at - 1] + ",0)'";
  if (part > 0 && part < parts - 1) range += " AND ";
  if (part < parts - 1) range += "transaction.ctid OPERATOR(pg_catalog.<) '(" + blocks[at] + ",0)'";
  // The filter keeps its own brackets, and the line break before the last.
  const std::string filter = chunk.filter.empty() ? range : range + ") AND (" + std::string(chunk.filter);
  return statementOf(chunk, isoText(chunk.first), isoText(chunk.after), filter);
}

// Ends the transactions of `readers`; a failure's reason stays in `why`.
void endAll(ExportIo& io, std::span<const int> readers, DBFailure& why) {
  for (const int reader : readers) (void)io.copyEndOn(reader, why);
}

// The chunk's one statement on `reader`, in a transaction of its own as
// when one chunk is read at a time.
int wholeChunk(ExportIo& io, int reader, const SlicedChunk& chunk, DBFailure& why) {
  DBFailure ended;
  (void)io.copyEndOn(reader, ended);
  why = {};
  const std::string statement(chunk.statement);
  if (io.copyBeginOn(reader, statement.c_str(), why) == 0) return 1;
  (void)io.copyEndOn(reader, why);
  return -1;
}

// How the chunk, whose plan is `plan`, can be sliced, with the blocks
// between the slices for kTable. -1 with `why` when a query failed.
int sliceOrder(ExportIo& io, int reader, const SlicedChunk& chunk, int parts,
               std::string_view plan, SliceOrder& order, std::vector<std::string>& blocks,
               DBFailure& why) {
  order = SliceOrder::kNone;
  std::string value;
  if (plan == kTableScan) {
    if (io.queryValue(reader, kTableBlocks, value, why) != 0) return -1;
    const double tableBlocks = std::strtod(value.c_str(), nullptr);
    if (io.queryValue(reader, blockBounds(chunk, parts, tableBlocks), value, why) != 0) return -1;
    blocks = blocksOf(value, parts);
    if (!blocks.empty()) order = SliceOrder::kTable;
    return 0;
  }
  const std::string_view index = scannedIndex(plan);
  if (index.empty()) return 0;
  if (io.queryValue(reader, indexLeadsWithDatetime(index), value, why) != 0) return -1;
  if (value == "t") order = SliceOrder::kIndex;
  return 0;
}

}  // namespace

std::string sliceBound(Day first, Day after, int part, int parts) {
  if (part <= 0) return isoText(first);
  if (part >= parts) return isoText(after);
  using std::chrono::seconds;
  const seconds span = std::chrono::sys_days(after) - std::chrono::sys_days(first);
  const std::chrono::sys_seconds moment = std::chrono::sys_days(first) + span * part / parts;
  const auto day = std::chrono::floor<std::chrono::days>(moment);
  const std::chrono::hh_mm_ss time(moment - day);
  char clock[16];
  (void)std::snprintf(clock, sizeof clock, " %02d:%02d:%02d", static_cast<int>(time.hours().count()),
                      static_cast<int>(time.minutes().count()),
                      static_cast<int>(time.seconds().count()));
  return isoText(Day{day}) + clock;
}

int startSlices(ExportIo& io, std::span<const int> readers, const SlicedChunk& chunk,
                DBFailure& why) {
  const int first = readers[0];
  const int parts = static_cast<int>(readers.size());
  // A failure other than a lost connection (a server that cannot share a
  // snapshot or tell a plan, a role without the right) reads the chunk in
  // one piece.
  const auto giveUp = [&](size_t begun) {
    if (why.connectionLost) {
      endAll(io, readers.first(begun), why);
      return -1;
    }
    endAll(io, readers.subspan(1, begun - 1), why);
    return wholeChunk(io, first, chunk, why);
  };
  std::string snapshot;
  std::string plan;
  if (io.beginShared(first, "", "", why) != 0) {
    endAll(io, readers.first(1), why);
    return -1;
  }
  SliceOrder order = SliceOrder::kNone;
  std::vector<std::string> blocks;
  if (io.queryValue(first, "SELECT pg_catalog.pg_export_snapshot()", snapshot, why) != 0 ||
      io.queryValue(first, explained(chunk.statement), plan, why) != 0 ||
      sliceOrder(io, first, chunk, parts, plan, order, blocks, why) != 0) {
    return giveUp(1);
  }
  if (order == SliceOrder::kNone) {
    // The chunk's statement in the transaction begun.
    const std::string statement(chunk.statement);
    if (io.copyStartOn(first, statement.c_str(), why) == 0) return 1;
    endAll(io, readers.first(1), why);
    return -1;
  }
  const char* settings = order == SliceOrder::kIndex ? kIndexOrder : kTableOrder;
  std::string ignored;
  if (io.queryValue(first, settings, ignored, why) != 0) return giveUp(1);
  std::vector<std::string> slices;
  slices.reserve(readers.size());
  for (int part = 0; part < parts; ++part) slices.push_back(buildSlice(chunk, part, parts, blocks));
  for (size_t i = 0; i < readers.size(); ++i) {
    if (i > 0 && io.beginShared(readers[i], snapshot, settings, why) != 0) {
      // Its own transaction did not begin, or was ended by the failure.
      return giveUp(i + 1);
    }
    std::string slicePlan;
    if (io.queryValue(readers[i], explained(slices[i]), slicePlan, why) != 0) return giveUp(i + 1);
    if (slicePlan != (order == SliceOrder::kIndex ? plan : std::string(kBlockScan))) {
      return giveUp(i + 1);
    }
  }
  for (size_t i = 0; i < readers.size(); ++i) {
    if (io.copyStartOn(readers[i], slices[i].c_str(), why) != 0) {
      endAll(io, readers, why);
      return -1;
    }
  }
  return parts;
}
