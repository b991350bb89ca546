// The statement interface called in the test process: the default session's
// inDBConnect, inDBQuery, vdDBGetData, vdDBClearData and vdDBDisconnect, and
// sessions side by side, each cancelled on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands/chunk_slices.h"
#include "commands/libpq_export_io.h"
#include "commands/statement.h"
#include "db/db_access.h"
#include "db/statement_cancel.h"
#include "tests/support/db_fixture.h"

namespace {

void setField(std::span<char> field, const std::string& value) {
  std::fill(field.begin(), field.end(), '\0');
  std::memcpy(field.data(), value.data(), std::min(value.size(), field.size() - 1));
}

class DbAccess : public DbTest {
 protected:
  DbConfig settings() const {
    DbConfig config{};
    setField(config.szHostAddr, "127.0.0.1");
    setField(config.szPort, envValue("PGPORT"));
    setField(config.szUser, envValue("PGUSER"));
    setField(config.szPassword, envValue("PGPASSWORD"));
    setField(config.szDbName, db_);
    return config;
  }
};

struct StatementCase {
  std::string sql;
  bool transaction;
  int result;
  int rows;
  int columns;
  std::vector<std::string> firstRow;  // its cells, read with vdDBGetData
};

TEST_F(DbAccess, DefaultSessionRunsStatementsIntoTheHolder) {
  if (IsSkipped() || HasFatalFailure()) return;
  runSql("INSERT INTO transaction (id, note) VALUES (1, 'x'), (2, NULL)");
  DBFailure why;
  ASSERT_EQ(inDBConnect(settings(), &why), 0) << why.message;
  const std::vector<StatementCase> cases = {
      {"SELECT id, note FROM transaction ORDER BY id", false, 0, 2, 2, {"1", "x"}},
      {"SELECT id, note FROM transaction ORDER BY id;", true, 0, 2, 2, {"1", "x"}},
      {"SELECT note, id FROM transaction WHERE id = 2", false, 0, 1, 2, {"", "2"}},
      {"SELECT id FROM transaction WHERE id > 5", false, 0, 0, 0, {}},
      {"SET LOCAL work_mem TO '8MB'", true, 0, 0, 0, {}},
      {"SELEC 1", false, -1, 0, 0, {}},
      {"SELECT 1; SELECT 2", false, -1, 0, 0, {}},
      {"INSERT INTO transaction (id) VALUES (3)", true, -1, 0, 0, {}},
      {"", false, -1, 0, 0, {}},
  };
  for (const StatementCase& c : cases) {
    SCOPED_TRACE(c.sql);
    DBData data;
    EXPECT_EQ(inDBQuery(c.sql.c_str(), c.transaction, data), c.result);
    EXPECT_EQ(data.inRowCount, c.rows);
    EXPECT_EQ(data.inColCount, c.columns);
    EXPECT_EQ(data.pResult != nullptr, c.rows > 0);
    for (size_t col = 0; col < c.firstRow.size(); ++col) {
      vdDBGetData(0, static_cast<int>(col), data);
      ASSERT_NE(data.pszValue, nullptr);
      EXPECT_EQ(std::string(data.pszValue, static_cast<size_t>(data.inValueLen)), c.firstRow[col]);
    }
    // Past the last row or column there is no cell.
    for (const auto& [row, col] : std::vector<std::pair<int, int>>{
             {c.rows, 0}, {0, c.columns}, {-1, 0}, {0, -1}}) {
      vdDBGetData(row, col, data);
      EXPECT_EQ(data.pszValue, nullptr);
      EXPECT_EQ(data.inValueLen, 0);
    }
    vdDBClearData(data);
    EXPECT_EQ(data.pResult, nullptr);
    EXPECT_EQ(data.inRowCount, 0);
  }
  // The refused INSERT left nothing behind.
  EXPECT_EQ(queryValue(conn_, "SELECT count(*) FROM transaction"), "2");
  vdDBDisconnect();
  DBData data;
  EXPECT_EQ(inDBQuery("SELECT 1", false, data), -1);
  vdDBDisconnect();  // twice is harmless
}

TEST_F(DbAccess, SignalCancelReachesOnlyTheSessionsThatRunAStatement) {
  if (IsSkipped() || HasFatalFailure()) return;
  DbSession busy;
  DbSession idle;
  DBFailure why;
  ASSERT_EQ(dbConnect(busy, settings(), &why), 0) << why.message;
  ASSERT_EQ(dbConnect(idle, settings(), &why), 0) << why.message;
  int slept = 0;
  DBFailure sleptWhy;
  std::thread sleeper([&] {
    DBData data;
    slept = dbQuery(busy, "SELECT pg_sleep(60)", false, data, {}, &sleptWhy);
    vdDBClearData(data);
  });
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    seen = queryValue(conn_,
                      "SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'SELECT pg_sleep%' "
                      "AND state = 'active'") == "1";
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  cancelRunningStatements();
  sleeper.join();
  EXPECT_TRUE(seen);
  EXPECT_EQ(slept, -1);
  EXPECT_EQ(sleptWhy.sqlState, "57014");
  DBData data;
  EXPECT_EQ(dbQuery(idle, "SELECT 1", false, data), 0);
  EXPECT_EQ(data.inRowCount, 1);
  vdDBClearData(data);
  EXPECT_EQ(dbQuery(busy, "SELECT 1", false, data), 0);
  vdDBClearData(data);
}

// Rows read on `readers` one after the other, each to its statement's end.
std::string rowsOf(ExportIo& io, const std::vector<int>& readers) {
  std::string rows;
  for (const int reader : readers) {
    DBFailure why;
    std::span<char> row;
    for (int got = 2; got != 0;) {
      got = io.copyRowIfIn(reader, row, why);
      if (got == 1) rows.append(row.data(), row.size());
      if (got == 2) io.waitForRows(std::vector<int>{reader});
      if (got < 0) return "failed: " + why.message;
    }
    if (io.copyEndOn(reader, why) != 0) return "failed at the end: " + why.message;
  }
  return rows;
}

// A chunk read as slices on three connections gives the rows, in the order,
// of its one statement; only a scan in datetime's order is sliced.
TEST_F(DbAccess, ChunkInSlicesReadsWhatOneStatementReads) {
  if (IsSkipped() || HasFatalFailure()) return;
  // Rows stored out of datetime's order, ties on the slices' bounds
  // (08:00 and 16:00 for three slices of a day) and on the day's ends.
  runSql("INSERT INTO transaction (id, datetime) SELECT i, TIMESTAMP '2024-03-01' + "
         "((i * 7919) % 20000) * INTERVAL '43.2 seconds' FROM generate_series(1, 20000) AS i");
  insertStamps("(90001, '2024-03-04 08:00'), (90002, '2024-03-04 08:00'), "
               "(90003, '2024-03-04 16:00'), (90004, '2024-03-04 00:00'), "
               "(90005, '2024-03-05 00:00'), (90006, '2024-03-04 15:59:59.999999')");
  struct Case {
    std::string name;
    std::string index;  // created before the chunk is read, dropped after
    std::string fields;
    int parts;          // how many slices it is read in
  };
  const std::vector<Case> cases = {
      {"an index on datetime", "CREATE INDEX by_time ON transaction (datetime)", "id, datetime", 3},
      {"an index led by datetime", "CREATE INDEX by_time ON transaction (datetime, id)", "id, note", 3},
      {"no index: the table's order, by its blocks", "", "id", 3},
      {"an index in descending order", "CREATE INDEX by_time ON transaction (datetime DESC)", "id",
       1},
      {"an index led by another column", "CREATE INDEX by_time ON transaction (id, datetime)", "id",
       1},
      {"rows made one by the statement", "CREATE INDEX by_time ON transaction (datetime)",
       "DISTINCT id", 1},
  };
  // Index scans wherever the planner can take one, so that the chunk's
  // plan does not hang on the table's statistics.
  const std::string options = envValue("PGOPTIONS");
  setenv("PGOPTIONS", (options + " -c enable_seqscan=off -c enable_bitmapscan=off").c_str(), 1);
  const DbConfig config = settings();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.index.empty()) runSql(c.index);
    runSql("ANALYZE transaction");
    LibpqExportIo io(config, nullptr);
    DBFailure why;
    ASSERT_EQ(io.connect(why), 0) << why.message;
    for (const int reader : {1, 2}) ASSERT_EQ(io.connectReader(reader, why), 0) << why.message;
    const Day first = std::chrono::year{2024} / 3 / 4;
    std::array<char, kStatementSize> statement{};
    (void)buildStatement(c.fields, "", first, first + std::chrono::days{1}, statement);
    const std::vector<int> readers{0, 1, 2};
    const SlicedChunk chunk{c.fields, "", first, first + std::chrono::days{1}, statement.data()};
    const int parts = startSlices(io, readers, chunk, why);
    EXPECT_EQ(parts, c.parts) << why.message;
    const std::string sliced =
        rowsOf(io, std::vector<int>(readers.begin(), readers.begin() + std::max(parts, 0)));
    ASSERT_EQ(io.copyBeginOn(0, statement.data(), why), 0) << why.message;
    const std::string whole = rowsOf(io, {0});
    EXPECT_EQ(sliced, whole);
    EXPECT_GT(std::count(whole.begin(), whole.end(), '\n'), 900);
    io.disconnect();
    runSql("DROP INDEX IF EXISTS by_time");
  }
  setenv("PGOPTIONS", options.c_str(), 1);
}

}  // namespace
