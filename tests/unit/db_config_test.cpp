#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "config/db_config.h"
#include "tests/support/final_message.h"
#include "tests/support/temp_dir.h"

namespace {

// Runs each test inside a scratch directory, where ./db_config.cfg lives.
class DbConfigFile : public testing::Test {
 protected:
  void SetUp() override {
    std::array<char, 4096> cwd{};
    ASSERT_NE(getcwd(cwd.data(), cwd.size()), nullptr);
    saved_ = cwd.data();
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(chdir(saved_.c_str()), 0); }
  std::string fileContent() const { return readFile(dir_.pathOf("db_config.cfg")); }

  TempDir dir_;
  std::string saved_;
};

// What `action` printed, then the final message of the outcome it returned.
template <typename F>
std::string outputOf(F action) {
  testing::internal::CaptureStdout();
  const Outcome outcome = action();
  EXPECT_EQ(std::fflush(stdout), 0);
  return testing::internal::GetCapturedStdout() + finalMessage(outcome);
}

}  // namespace

TEST_F(DbConfigFile, WritesPrivateRecordThatReadsBack) {
  const std::string user(50, 'u');
  EXPECT_EQ(
      outputOf([&] { return vdDbInit("2001:db8:0:0:0:0:0:1", "65535", user.c_str(), "pw", "db"); }),
      finalMessage(Outcome::kSuccess));
  std::string expected(180, '\0');
  expected.replace(0, 20, "2001:db8:0:0:0:0:0:1").replace(21, 5, "65535").replace(27, 50, user);
  EXPECT_EQ(fileContent(), expected.replace(78, 2, "pw").replace(129, 2, "db"));
  struct stat st {};
  ASSERT_EQ(stat("db_config.cfg", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);

  // A second run replaces the record, leaving nothing of the longer user.
  EXPECT_EQ(outputOf([] { return vdDbInit("10.0.0.1", "", "bob", "", "db"); }),
            finalMessage(Outcome::kSuccess));
  DbConfig config{};
  EXPECT_EQ(outputOf([&] { return inLoadDbConfig(config); }), finalMessage(Outcome::kSuccess));
  EXPECT_STREQ(config.szHostAddr.data(), "10.0.0.1");
  EXPECT_STREQ(config.szPort.data(), "");
  EXPECT_EQ(std::string(config.szUser.data(), 51), "bob" + std::string(48, '\0'));
  EXPECT_STREQ(config.szDbName.data(), "db");
}

// Where each field of the record lies in the file, and its width.
constexpr size_t kOffsets[] = {0, 21, 27, 78, 129}, kWidths[] = {21, 6, 51, 51, 51};

TEST_F(DbConfigFile, RefusesOverLongValueWithoutTouchingTheFile) {
  writeFile(dir_.pathOf("db_config.cfg"), "old");
  for (size_t i = 0; i < 5; ++i) {
    std::array<std::string, 5> a = {"10.0.0.1", "5432", "u", "p", "d"};
    a[i] = std::string(kWidths[i], '9');
    const std::string out = outputOf([&] {
      return vdDbInit(a[0].c_str(), a[1].c_str(), a[2].c_str(), a[3].c_str(), a[4].c_str());
    });
    EXPECT_EQ(out, finalMessage(Outcome::kParameterTooLong)) << "field " << i;
  }
  EXPECT_EQ(fileContent(), "old");
}

TEST_F(DbConfigFile, ReaderRefusesMissingShortOrUnterminatedRecord) {
  DbConfig config{};
  EXPECT_EQ(outputOf([&] { return inLoadDbConfig(config); }),
            finalMessage(Outcome::kOpenConfigFailed));
  std::string record(180, '\0');
  record.replace(0, 8, "10.0.0.1").replace(21, 5, "54321").replace(129, 5, "sales");
  std::vector<std::string> refused = {record.substr(0, 179)};
  for (size_t i = 0; i < 5; ++i) {
    refused.push_back(record);
    refused.back().replace(kOffsets[i], kWidths[i], std::string(kWidths[i], 'x'));
  }
  for (size_t i = 0; i < refused.size(); ++i) {
    writeFile(dir_.pathOf("db_config.cfg"), refused[i]);
    EXPECT_EQ(outputOf([&] { return inLoadDbConfig(config); }),
              finalMessage(Outcome::kReadConfigFailed)) << "case " << i;
  }
  // Bytes after the record are ignored; a port may fill its field up to the zero.
  writeFile(dir_.pathOf("db_config.cfg"), record + std::string(20, 'z'));
  EXPECT_EQ(outputOf([&] { return inLoadDbConfig(config); }), finalMessage(Outcome::kSuccess));
  EXPECT_STREQ(config.szHostAddr.data(), "10.0.0.1");
  EXPECT_STREQ(config.szPort.data(), "54321");
  EXPECT_STREQ(config.szDbName.data(), "sales");
}
