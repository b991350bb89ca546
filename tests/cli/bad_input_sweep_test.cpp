// The bad-input sweep (see sweep_cases.h) without a database server: a
// query whose arguments pass every check ends at a port that refuses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/cli/sweep_cases.h"
#include "tests/support/local_port.h"

namespace {

using namespace sweep;

TEST(BadInputSweep, CommandWord) { runSweep(commandWordCases(), "."); }

TEST(BadInputSweep, DbInit) { runSweep(dbInitCases(), "."); }

TEST(BadInputSweep, EncApiKey) { runSweep(apiKeyCases(), "."); }

TEST(BadInputSweep, TransactionQuery) {
  const LocalPort refusing(false);
  ASSERT_FALSE(refusing.port.empty());
  TempDir dir;
  writeFile(dir.pathOf("db_config.cfg"),
            settingsRecord({"127.0.0.1", refusing.port, "u", "p", "d"}));
  runSweep(queryCases(Reach::kRefusingPort), dir.path);
}

}  // namespace
