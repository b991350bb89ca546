// db_init writing ./db_config.cfg, and the settings reader behind transaction_query.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_cases.h"

namespace {

unsigned unMode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777U : 0U;
}

RunResult rrDbInit(const TempDir& dir, std::vector<std::string> values) {
  values.insert(values.begin(), "db_init");
  return rrRun(sProgram("lumettool"), values, roIn(dir.path));
}

TEST(DbInit, WritesPrivateZeroPaddedRecordAndReplacesIt) {
  const std::vector<std::vector<std::string>> runs = {
      {"10.1.2.3", "5432", "alice", "s3cret", "shop"},
      {std::string(20, 'h'), "65535", std::string(50, 'u'), std::string(50, 'p'),
       std::string(50, 'd')},
      {"", "", "", "", ""},
  };
  TempDir dir;
  const std::string file = dir.sFile("db_config.cfg");
  const mode_t saved = umask(0);  // the program itself must keep the file private
  for (const auto& values : runs) {
    SCOPED_TRACE(values[0] + " " + values[1]);
    const RunResult r = rrDbInit(dir, values);
    EXPECT_EQ(r.out, "Success");
    EXPECT_EQ(r.exitStatus, 0);
    const std::string bytes = sReadFile(file);
    EXPECT_EQ(bytes, sSettingsRecord(values));
    EXPECT_EQ(bytes.substr(21, values[1].size()), values[1]);
    EXPECT_EQ(bytes.substr(78, values[3].size()), values[3]);
    EXPECT_EQ(unMode(file), 0600U);
    // The next run finds an existing, longer, world-readable file.
    vdWriteFile(file, std::string(300, 'z'));
    chmod(file.c_str(), 0644);
  }
  umask(saved);
}

TEST(DbInit, RefusesOverlongValueAndKeepsExistingFile) {
  const std::vector<std::string> good = {"1.2.3.4", "5432", "u", "p", "d"};
  TempDir dir;
  const std::string file = dir.sFile("db_config.cfg");
  vdWriteFile(file, "previous content");
  chmod(file.c_str(), 0644);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    std::vector<std::string> values = good;
    values[i] = std::string(kSettingsWidths[i], '1');
    const RunResult r = rrDbInit(dir, values);
    EXPECT_EQ(r.out, "Error - Parameter Too Long");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(sReadFile(file), "previous content");
    EXPECT_EQ(unMode(file), 0644U);
  }
}

TEST(DbInit, ReportsFilesThatCannotBeWritten) {
  TempDir dir;
  const std::string file = dir.sFile("db_config.cfg");
  const std::vector<std::string> values = {"1.2.3.4", "5432", "u", "p", "d"};
  std::filesystem::create_symlink("/dev/full", file);
  const unsigned devMode = unMode("/dev/full");
  RunResult r = rrDbInit(dir, values);
  EXPECT_EQ(r.out, "Error - Write DB Config File Failed");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(unMode("/dev/full"), devMode);
  // EXPECT_EQ does not stop the test, so a faulty run does get here.
  // cppcheck-suppress knownConditionTrueFalse
  if (unMode("/dev/full") != devMode) chmod("/dev/full", devMode);  // undo a faulty run

  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  r = rrDbInit(dir, values);
  EXPECT_EQ(r.out, "Error - Create DB Config File Failed");
  EXPECT_EQ(r.exitStatus, 0);
}

TEST(SettingsReader, AcceptsOnlyFullRecordsWithTerminatedFields) {
  const std::vector<std::string> query = {"transaction_query", "f", "none", "20240101",
                                          "20240101",          "0", "0"};
  // Nothing listens on port 1, so an accepted record ends in a failed connect.
  const std::string good = sSettingsRecord({"127.0.0.1", "1", "u", "p", "d"});
  const std::string kRefused = "Error - Can't Connect Database";
  const std::string kRead = "Error - Read DB Config File Failed";
  std::vector<CliCase> cases = {
      {"lumettool", query, kRefused, good},
      {"lumettool", query, kRefused, good + std::string(20, 'x')},
      {"lumettool", query, kRead, good.substr(0, 179)},
      {"lumettool", query, kRead, ""},
  };
  size_t offset = 0;
  for (const size_t width : kSettingsWidths) {  // each field in turn filled to its end
    cases.push_back(
        {"lumettool", query, kRead, std::string(good).replace(offset, width, width, '7')});
    offset += width;
  }
  vdExpectRuns(cases);
}

}  // namespace
