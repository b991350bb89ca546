// Command selection and argument counts of the three editions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/cli_cases.h"

namespace {

const std::string k21 = "lumettool";
const std::string k20 = "lumettool-2.0";
const std::string k10 = "lumettool-1.0";
// A valid query reaches the settings reader, which finds no file.
const std::string kNoSettings = "Error - Open DB Config File Failed";

std::vector<std::string> vsCommand(const std::string& word, std::vector<std::string> params) {
  params.insert(params.begin(), word);
  return params;
}

TEST(Dispatch, SelectsCommandAndChecksArgumentCount) {
  const std::vector<std::string> q21 = {"f", "none", "20240101", "20240102", "0", "0"};
  const std::vector<std::string> q20 = {"f", "20240101", "20240102", "abc", "x"};
  const std::vector<std::string> init = {"127.0.0.1", "5432", "u", "p", "d"};
  vdExpectRuns({
      {k21, {}, "Error - Invalid Parameters"},
      {k10, {}, "Error - Invalid Parameters"},
      {k21, {"version"}, "New Darvo Lumet Version 2.1"},
      {k20, {"VERSION"}, "New Darvo Lumet Version 2.0"},
      {k10, {"versionx"}, "New Darvo Lumet Version 1.0"},
      {k21, {"version", "x"}, "Error - Invalid Parameters"},
      {k10, {"Version", ""}, "Error - Invalid Parameters"},
      {k21, {""}, "Error - Invalid Command"},
      {k21, {"vers"}, "Error - Invalid Command"},
      {k20, {"xversion"}, "Error - Invalid Command"},
      {k21, {"enc_api_key"}, "Error - Invalid Parameters"},
      {k10, {"ENC_API_KEY", "00"}, "7F"},
      {k20, {"enc_api_key", "00", "00"}, "Error - Invalid Parameters"},
      {k21, vsCommand("db_init", init), "Success"},
      {k20, vsCommand("DB_INIT", init), "Success"},
      {k21, vsCommand("db_init", {"127.0.0.1", "5432", "u", "p"}), "Error - Invalid Parameters"},
      {k10, vsCommand("db_init", init), "Error - Invalid Command"},
      {k10, {"db_init"}, "Error - Invalid Command"},
      {k10, vsCommand("transaction_query", q21), "Error - Invalid Command"},
      {k10, vsCommand("transaction_query", q20), "Error - Invalid Command"},
      {k21, vsCommand("transaction_query", q21), kNoSettings},
      {k21, vsCommand("Transaction_Query_All", q21), kNoSettings},
      {k21, vsCommand("transaction_query", q20), "Error - Invalid Parameters"},
      {k20, vsCommand("transaction_query", q20), kNoSettings},
      {k20, vsCommand("transaction_query_all", q20), kNoSettings},
      {k20, vsCommand("transaction_query", q21), "Error - Invalid Parameters"},
  });
}

// The exit status tells only whether standard output could be written.
TEST(Dispatch, FailedStandardOutputExitsWithOne) {
  RunOptions options;
  options.stdoutPath = "/dev/full";
  for (const std::string& program : {k21, k20, k10}) {
    SCOPED_TRACE(program);
    EXPECT_EQ(rrRun(sProgram(program), {"version"}, options).exitStatus, 1);
    EXPECT_EQ(rrRun(sProgram(program), {}, options).exitStatus, 1);
    EXPECT_EQ(rrRun(sProgram(program), {"enc_api_key", "ab"}, options).exitStatus, 1);
  }
}

}  // namespace
