// db_init writing ./db_config.cfg, and the settings reader behind transaction_query.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_cases.h"
#include "tests/support/final_message.h"
#include "tests/support/local_port.h"

namespace {

unsigned modeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777U : 0U;
}

RunResult runDbInit(const TempDir& dir, std::vector<std::string> values,
                    const std::vector<std::string>& env = {}) {
  values.insert(values.begin(), "db_init");
  RunOptions options = optionsIn(dir.path);
  options.env = env;
  return runProgram(programPath("lumettool"), values, options);
}

const std::vector<std::string> kExitStatusOn = {"LUMETTOOL_EXIT_STATUS=on"};

// A host address or a port that no export can connect with is still
// written, with a warning.
TEST(DbInit, WritesPrivateZeroPaddedRecordAndReplacesIt) {
  const std::string fails =
      ", so every export will fail to connect; the settings are written as given\n";
  const std::string host = "lumettool: warning: the host address ";
  const std::string hostHint =
      "lumettool: hint: leave the host address empty and put the host name in PGHOST\n";
  const std::string port = "lumettool: warning: the port ";
  const std::string outside = " is outside 1..65535: libpq refuses it (invalid port number)";
  const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
      {{"10.1.2.3", "5432", "alice", "s3cret", "shop"}, ""},
      {{std::string(20, 'h'), "65535", std::string(50, 'u'), std::string(50, 'p'),
        std::string(50, 'd')},
       host + "'" + std::string(20, 'h') + "' is not a numeric IP address: libpq looks no name "
              "up for it" + fails + hostHint},
      {{"", "", "", "", ""}, ""},
      {{"db.example.com", "5432x", "u", "p", "d"},
       host + "'db.example.com' is not a numeric IP address: libpq looks no name up for it" +
           fails + hostHint + port + "'5432x' is not a whole number: libpq refuses it (invalid "
           "integer value)" + fails},
      {{"::1", "0", "u", "p", "d"}, port + "'0'" + outside + fails},
      {{"", "70000", "u", "p", "d"}, port + "'70000'" + outside + fails},
      {{"", "-1", "u", "p", "d"}, port + "'-1'" + outside + fails},
      {{"", " 5432", "u", "p", "d"}, port + "' 5432' has blanks around it; libpq reads it as 5432\n"},
      {{"fe80::1", "+5432", "u", "p", "d"}, ""},
      {{"", "00001", "u", "p", "d"}, ""},
  };
  TempDir dir;
  const std::string file = dir.pathOf("db_config.cfg");
  const mode_t saved = umask(0);  // the program itself must keep the file private
  for (const auto& [values, err] : runs) {
    SCOPED_TRACE(values[0] + " " + values[1]);
    const RunResult r = runDbInit(dir, values);
    EXPECT_EQ(r.out, finalMessage(Outcome::kSuccess));
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exitStatus, 0);
    const std::string bytes = readFile(file);
    EXPECT_EQ(bytes, settingsRecord(values));
    EXPECT_EQ(bytes.substr(21, values[1].size()), values[1]);
    EXPECT_EQ(bytes.substr(78, values[3].size()), values[3]);
    EXPECT_EQ(modeOf(file), 0600U);
    // The next run finds an existing, longer, world-readable file.
    writeFile(file, std::string(300, 'z'));
    chmod(file.c_str(), 0644);
  }
  umask(saved);
}

TEST(DbInit, RefusesOverlongValueAndKeepsExistingFile) {
  const std::vector<std::string> good = {"1.2.3.4", "5432", "u", "p", "d"};
  const std::string names[] = {"host address", "port", "user", "password", "database name"};
  TempDir dir;
  const std::string file = dir.pathOf("db_config.cfg");
  writeFile(file, "previous content");
  chmod(file.c_str(), 0644);
  std::vector<std::string> allTooLong = good;
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    std::vector<std::string> values = good;
    values[i] = std::string(kSettingsWidths[i], '1');
    allTooLong[i] = std::string(kSettingsWidths[i] + i, '1');
    const RunResult r = runDbInit(dir, values);
    EXPECT_EQ(r.out, finalMessage(Outcome::kParameterTooLong));
    EXPECT_EQ(r.err, "lumettool: error: the " + names[i] + " is " +
                         std::to_string(kSettingsWidths[i]) + " bytes long, over its limit of " +
                         std::to_string(kSettingsWidths[i] - 1) + " bytes\n");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(file), "previous content");
    EXPECT_EQ(modeOf(file), 0644U);
  }
  // Every value that does not fit is named, in order.
  const RunResult r = runDbInit(dir, allTooLong);
  EXPECT_EQ(r.out, finalMessage(Outcome::kParameterTooLong));
  EXPECT_EQ(runDbInit(dir, allTooLong, kExitStatusOn).exitStatus, 64);
  std::string said;
  for (size_t i = 0; i < 5; ++i) {
    said += "lumettool: error: the " + names[i] + " is " + std::to_string(kSettingsWidths[i] + i) +
            " bytes long, over its limit of " + std::to_string(kSettingsWidths[i] - 1) +
            " bytes\n";
  }
  EXPECT_EQ(r.err, said);
}

TEST(DbInit, ReportsFilesThatCannotBeWritten) {
  TempDir dir;
  const std::string file = dir.pathOf("db_config.cfg");
  const std::vector<std::string> values = {"1.2.3.4", "5432", "u", "p", "d"};
  std::filesystem::create_symlink("/dev/full", file);
  const unsigned devMode = modeOf("/dev/full");
  RunResult r = runDbInit(dir, values);
  EXPECT_EQ(r.out, finalMessage(Outcome::kWriteConfigFailed));
  EXPECT_EQ(r.err,
            "lumettool: error: cannot write the settings to '/dev/full': No space left on device\n"
            "lumettool: detail: './db_config.cfg' leads through symbolic links to '/dev/full'\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(runDbInit(dir, values, kExitStatusOn).exitStatus, 73);
  EXPECT_EQ(modeOf("/dev/full"), devMode);
  // EXPECT_EQ does not stop the test, so a faulty run does get here.
  // cppcheck-suppress knownConditionTrueFalse
  if (modeOf("/dev/full") != devMode) chmod("/dev/full", devMode);  // undo a faulty run

  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  r = runDbInit(dir, values);
  EXPECT_EQ(r.out, finalMessage(Outcome::kCreateConfigFailed));
  EXPECT_EQ(r.err,
            "lumettool: error: cannot open the settings file './db_config.cfg' for writing: Is a "
            "directory\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(runDbInit(dir, values, kExitStatusOn).exitStatus, 73);
}

TEST(SettingsReader, AcceptsOnlyFullRecordsWithTerminatedFields) {
  const std::vector<std::string> query = {"transaction_query", "f", "none", "20240101",
                                          "20240101",          "0", "0"};
  // Nothing listens on port 1, so an accepted record ends in a failed connect.
  const std::string good = settingsRecord({"127.0.0.1", "1", "u", "p", "d"});
  const std::string kRefused = finalMessage(Outcome::kCannotConnect);
  const std::string kRead = finalMessage(Outcome::kReadConfigFailed);
  const std::string kShort = "lumettool: error: the settings file './db_config.cfg' is too short: ";
  std::vector<CliCase> cases = {
      // A refused port passes, and the tests allow no retries.
      exitsWhenOn(75, {"lumettool", query, kRefused, "error: cannot connect: ", good}),
      {"lumettool", query, kRefused, "error: cannot connect: ", good + std::string(20, 'x')},
      {"lumettool", query, kRead, kShort + "179 bytes of the 180 of a record\n",
       good.substr(0, 179)},
      exitsWhenOn(78, {"lumettool", query, kRead, kShort + "0 bytes of the 180 of a record\n", ""}),
  };
  const std::string names[] = {"host address", "port", "user", "password", "database name"};
  size_t offset = 0;
  for (size_t i = 0; i < 5; ++i) {  // each field in turn filled to its end
    const size_t width = kSettingsWidths[i];
    const std::string why =
        "lumettool: error: the settings file './db_config.cfg' is damaged: its " + names[i] +
        " field (offset " + std::to_string(offset) + ", " + std::to_string(width) +
        " bytes) has no terminating zero byte\n" + "lumettool: hint: db_init writes a new one\n";
    cases.push_back(
        {"lumettool", query, kRead, why, std::string(good).replace(offset, width, width, '7')});
    offset += width;
  }
  // Only the first field without its zero is named.
  cases.push_back({"lumettool", query, kRead, "its port field (offset 21",
                   std::string(good).replace(21, 57, 57, '7')});
  expectRuns(cases);
}

// The password, given to db_init or read from the settings file, is never
// told: not whole, not cut, not in part, whatever goes wrong.
TEST(Password, NeverOnStandardError) {
  const std::string password = "Pw7q-s3cret";
  const std::string tooLong = password + password + password + password + password + "!";
  const LocalPort refusing(false);
  ASSERT_FALSE(refusing.port.empty());
  const auto init = [&](std::vector<std::string> values) {
    values.insert(values.begin(), "db_init");
    return values;
  };
  const std::vector<std::string> query = {"transaction_query", "f", "none", "20240101",
                                          "20240101",          "0", "0"};
  const std::string good = settingsRecord({"127.0.0.1", refusing.port, "u", password, "d"});
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> settings;  // ./db_config.cfg, or a directory when empty
  };
  std::vector<Case> cases = {
      {init({std::string(21, '1'), "5432", "u", password, "d"}), {}},
      {init({"127.0.0.1", "543210", "u", password, "d"}), {}},
      {init({"127.0.0.1", "5432", std::string(51, 'u'), password, "d"}), {}},
      {init({"127.0.0.1", "5432", "u", password, std::string(51, 'd')}), {}},
      {init({"127.0.0.1", "5432", "u", tooLong, "d"}), {}},
      {init({"127.0.0.1", "5432", "u", password}), {}},
      {init({"127.0.0.1", "5432", "u", password, "d", "x"}), {}},
      {{"db_int", "127.0.0.1", "5432", "u", password, "d"}, {}},
      {init({"127.0.0.1", "5432", "u", password, "d"}), ""},  // a directory in the way
      {query, good.substr(0, 179)},
      {query, good},  // a refused connection
      {query, std::string(good).replace(78, 51, (password + std::string(51, 'x')).substr(0, 51))},
  };
  size_t end = 0;
  for (size_t i = 0; i < 5; ++i) {  // each other field without its zero
    end += kSettingsWidths[i];
    if (i == 3) continue;
    std::string record = good;
    record[end - 1] = 'z';
    cases.push_back({query, record});
  }
  for (const Case& c : cases) {
    for (const std::string program : {"lumettool", "lumettool-2.0"}) {
      std::vector<std::string> args = c.args;
      if (program == "lumettool-2.0" && args[0] == "transaction_query") {
        args.erase(args.begin() + 2);
      }
      SCOPED_TRACE(program + " " + args[0] + " with " + std::to_string(args.size()) + " arguments" +
                   (c.settings ? ", " + std::to_string(c.settings->size()) + " settings bytes"
                               : ""));
      TempDir dir;
      if (c.settings && c.settings->empty()) {
        std::filesystem::create_directory(dir.pathOf("db_config.cfg"));
      } else if (c.settings) {
        writeFile(dir.pathOf("db_config.cfg"), *c.settings);
      }
      RunOptions options = optionsIn(dir.path);
      options.timeoutSeconds = 15;
      const RunResult r = runProgram(programPath(program), args, options);
      EXPECT_TRUE(r.out.starts_with("Error - ")) << r.out;
      // The refused connection is told by libpq: whatever it says is checked.
      if (r.out != finalMessage(Outcome::kCannotConnect)) {
        EXPECT_NE(r.err, "");
      }
      for (const std::string& piece : {password, password.substr(0, 4), password.substr(5)}) {
        EXPECT_EQ(r.err.find(piece), std::string::npos) << r.err;
      }
    }
  }
}

}  // namespace
