// The statement interface called in the test process: the default session's
// inDBConnect, inDBQuery, vdDBGetData, vdDBClearData and vdDBDisconnect, and
// sessions side by side, each cancelled on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
