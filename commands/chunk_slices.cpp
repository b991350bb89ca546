#include "commands/chunk_slices.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "commands/statement.h"

namespace {

// The plan's first line for a scan of the table through one index, in the
// index's order ("Index Scan using NAME on transaction").
constexpr std::string_view kIndexScan = "Index Scan using ";
constexpr std::string_view kOnTable = " on transaction";

// A slice is planned as the chunk was, through an index, when nothing else
// is on offer. Local to the slice's transaction.
constexpr const char* kIndexOrder =
    "SELECT pg_catalog.set_config('enable_seqscan', 'off', true), "
    "pg_catalog.set_config('enable_bitmapscan', 'off', true), "
    "pg_catalog.set_config('enable_tidscan', 'off', true)";

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

std::string buildSlice(const SlicedChunk& chunk, int part, int parts) {
  const std::string from = sliceBound(chunk.first, chunk.after, part, parts);
  const std::string to = sliceBound(chunk.first, chunk.after, part + 1, parts);
  std::string text(buildStatementBetween(chunk.fields, chunk.filter, from, to, {}) + 1, '\0');
  (void)buildStatementBetween(chunk.fields, chunk.filter, from, to, text);
  text.pop_back();
  return text;
}

// Ends the transactions of `readers`; a failure's reason stays in `why`.
void endAll(ExportIo& io, std::span<const int> readers, DBFailure& why) {
  for (const int reader : readers) (void)io.copyEndOn(reader, why);
}

// The chunk's one statement on readers[0], in a transaction of its own as
// when one chunk is read at a time; the others are left alone.
int wholeChunk(ExportIo& io, int reader, const SlicedChunk& chunk, DBFailure& why) {
  DBFailure ended;
  (void)io.copyEndOn(reader, ended);
  why = {};
  const std::string statement(chunk.statement);
  if (io.copyBeginOn(reader, statement.c_str(), why) == 0) return 1;
  (void)io.copyEndOn(reader, why);
  return -1;
}

}  // namespace

std::string sliceBound(Day first, Day after, int part, int parts) {
  if (part <= 0) return isoText(first);
  if (part >= parts) return isoText(after);
  using std::chrono::seconds;
  const seconds span = std::chrono::sys_days(after) - std::chrono::sys_days(first);
  const std::chrono::sys_seconds moment =
      std::chrono::sys_days(first) + span * part / parts;
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
  std::string leads;
  if (io.beginShared(first, "", "", why) != 0) {
    endAll(io, readers.first(1), why);
    return -1;
  }
  if (io.queryValue(first, "SELECT pg_catalog.pg_export_snapshot()", snapshot, why) != 0 ||
      io.queryValue(first, explained(chunk.statement), plan, why) != 0) {
    return giveUp(1);
  }
  const std::string_view index = scannedIndex(plan);
  if (!index.empty() && io.queryValue(first, indexLeadsWithDatetime(index), leads, why) != 0) {
    return giveUp(1);
  }
  if (leads != "t") {
    // Any other plan: the chunk's statement in the transaction begun.
    const std::string statement(chunk.statement);
    if (io.copyStartOn(first, statement.c_str(), why) == 0) return 1;
    endAll(io, readers.first(1), why);
    return -1;
  }
  if (io.queryValue(first, kIndexOrder, leads, why) != 0) return giveUp(1);
  const int parts = static_cast<int>(readers.size());
  std::vector<std::string> slices;
  slices.reserve(readers.size());
  for (int part = 0; part < parts; ++part) slices.push_back(buildSlice(chunk, part, parts));
  for (size_t i = 0; i < readers.size(); ++i) {
    if (i > 0 && io.beginShared(readers[i], snapshot, kIndexOrder, why) != 0) {
      // Its own transaction did not begin, or was ended by the failure.
      return giveUp(i + 1);
    }
    std::string slicePlan;
    if (io.queryValue(readers[i], explained(slices[i]), slicePlan, why) != 0) return giveUp(i + 1);
    if (slicePlan != plan) return giveUp(i + 1);
  }
  for (size_t i = 0; i < readers.size(); ++i) {
    if (io.copyStartOn(readers[i], slices[i].c_str(), why) != 0) {
      endAll(io, readers, why);
      return -1;
    }
  }
  return parts;
}
