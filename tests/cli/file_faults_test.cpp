// The settings file and standard output when the file system works against
// the program: odd files in place of ./db_config.cfg, places the user may
// not write, and a full disk behind standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/cli_cases.h"
#include "tests/support/final_message.h"
#include "tests/support/local_port.h"

namespace {

namespace fs = std::filesystem;

const std::string kOpen = finalMessage(Outcome::kOpenConfigFailed);
const std::string kRead = finalMessage(Outcome::kReadConfigFailed);
const std::string kNoConnect = finalMessage(Outcome::kCannotConnect);
const std::string kCreate = finalMessage(Outcome::kCreateConfigFailed);
const std::string kWrite = finalMessage(Outcome::kWriteConfigFailed);

const std::vector<std::string> kQuery21 = {"transaction_query", "id", "none", "20240101",
                                           "20240101",          "0",  "0"};
const std::vector<std::string> kQuery20 = {"transaction_query", "id", "20240101", "20240101", "0",
                                           "0"};
const std::vector<std::string> kInit = {"db_init", "127.0.0.1", "5432", "u", "p", "d"};

// How a case prepares its directory before the run.
using Setup = std::function<void(const TempDir& dir)>;

Setup withContent(const std::string& bytes) {
  return [bytes](const TempDir& dir) { writeFile(dir.pathOf("db_config.cfg"), bytes); };
}

std::string randomBytes(std::mt19937& gen, size_t n) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(n, '\0');
  std::generate(s.begin(), s.end(), [&] { return static_cast<char>(byte(gen)); });
  return s;
}

// What the reader makes of `bytes`, and what it tells: a full record whose
// fields all end within their width goes on to the connection, anything
// else is refused.
std::pair<std::string, std::string> readerVerdict(const std::string& bytes) {
  if (bytes.size() < 180) {
    return {kRead, "is too short: " + std::to_string(bytes.size()) + " bytes"};
  }
  size_t offset = 0;
  for (const size_t width : kSettingsWidths) {
    if (bytes.substr(offset, width).find('\0') == std::string::npos) {
      return {kRead, "field (offset " + std::to_string(offset) + ", " + std::to_string(width) +
                         " bytes) has no terminating zero byte"};
    }
    offset += width;
  }
  return {kNoConnect, "PROGRAM: error: cannot connect: "};
}

struct FaultCase {
  std::string what;
  Setup setup;
  std::string expected;
  std::string errHas{};       // see expectStderr; PROGRAM stands for the program's name
  bool unprivileged = false;  // run as a user without root's rights
  long fileSizeLimit = -1;    // when >= 0: the run may not write files past it
  std::string created{};      // a file the run may add besides db_config.cfg
};

// Every name under `dir`, links not followed.
std::set<std::string> listing(const TempDir& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir.path))
    names.insert(fs::relative(entry.path(), dir.path).string());
  return names;
}

struct Invocation {
  std::string program;
  std::vector<std::string> args;
};

// Runs every invocation for each case in a fresh directory, checks that it
// left nothing behind (a temporary file) but the settings file, then hands
// the case and its directory to `check`.
void expectFaults(const std::vector<Invocation>& runs, const std::vector<FaultCase>& cases,
                  const std::function<void(const FaultCase&, const TempDir&)>& check = {}) {
  for (const FaultCase& c : cases) {
    RunOptions options;
    if (c.unprivileged && !dropPrivileges(options)) {
      GTEST_SKIP() << "running as root and there is no user nobody to drop to";
    }
    for (const Invocation& run : runs) {
      SCOPED_TRACE(run.program + " " + run.args[0] + ": " + c.what);
      TempDir dir;
      // The unprivileged user may enter the directory; what it may do there
      // is up to the case.
      fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
      c.setup(dir);
      const std::set<std::string> before = listing(dir);
      options.cwd = dir.path;
      options.timeoutSeconds = 15;
      options.fileSizeLimit = c.fileSizeLimit;
      const RunResult r = runProgram(programPath(run.program), run.args, options);
      EXPECT_FALSE(r.timedOut);
      EXPECT_EQ(r.termSignal, 0);
      EXPECT_EQ(r.exitStatus, 0);
      EXPECT_EQ(r.out, c.expected);
      std::string errHas = c.errHas;
      for (size_t at = 0; (at = errHas.find("PROGRAM", at)) != std::string::npos;)
        errHas.replace(at, 7, run.program);
      expectStderr(r.err, errHas);
      expectOwnLines(r.err, run.program);
      for (const std::string& name : listing(dir)) {
        EXPECT_TRUE(before.contains(name) || name == "db_config.cfg" || name == c.created)
            << "left behind: " << name;
      }
      if (check) check(c, dir);
    }
  }
}

TEST(SettingsReader, RefusesOddFilesInPlaceOfTheRecord) {
  const LocalPort refusing(false);
  ASSERT_FALSE(refusing.port.empty());
  // A fixed seed: the same bytes on every run, so a failure can be replayed.
  std::mt19937 gen(20240101);  // NOLINT(cert-msc51-cpp)
  std::vector<FaultCase> cases = {
      {"full-width values",
       withContent(settingsRecord({std::string(20, '1'), "65535", std::string(50, 'u'),
                                   std::string(50, 'p'), std::string(50, 'd')})),
       kNoConnect, "PROGRAM: error: cannot connect: "},
      {"a directory", [](const TempDir& dir) { fs::create_directory(dir.pathOf("db_config.cfg")); },
       kRead, "error: cannot read the settings file './db_config.cfg': Is a directory\n"},
      {"a FIFO nobody writes to",
       [](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.pathOf("db_config.cfg").c_str(), 0644), 0); },
       kRead, "is too short: 0 bytes of the 180 of a record\n"},
      {"a symlink to /dev/null",
       [](const TempDir& dir) { fs::create_symlink("/dev/null", dir.pathOf("db_config.cfg")); },
       kRead, "is too short: 0 bytes"},
      {"a dangling symlink",
       [](const TempDir& dir) { fs::create_symlink("nowhere/x", dir.pathOf("db_config.cfg")); },
       kOpen,
       "error: cannot open the settings file './db_config.cfg': No such file or directory\n"
       "PROGRAM: detail: './db_config.cfg' is a symbolic link to 'nowhere/x'\n"},
      {"a record the user may not read",
       [&](const TempDir& dir) {
         const std::string file = dir.pathOf("db_config.cfg");
         writeFile(file, settingsRecord({"127.0.0.1", refusing.port, "u", "p", "d"}));
         fs::permissions(file, fs::perms::none);
       },
       kOpen, "error: cannot open the settings file './db_config.cfg': Permission denied\n", true},
  };
  for (const size_t n : std::vector<size_t>{1, 60, 179, 180, 181, 4096}) {
    const std::string bytes = randomBytes(gen, n);
    const auto [message, why] = readerVerdict(bytes);
    cases.push_back({std::to_string(n) + " random bytes", withContent(bytes), message, why});
  }
  // Random fields, each ending in a zero: the reader takes them, libpq does not.
  for (int i = 0; i < 3; ++i) {
    std::string bytes = randomBytes(gen, 200);
    size_t offset = 0;
    for (const size_t width : kSettingsWidths) bytes[(offset += width) - 1] = '\0';
    cases.push_back({"random terminated fields", withContent(bytes), kNoConnect,
                     "PROGRAM: error: cannot connect: "});
  }
  expectFaults({{"lumettool", kQuery21}, {"lumettool-2.0", kQuery20}}, cases);
}

namespace {

const std::string kOldSettings = "previous settings";

// Puts kOldSettings in ./db_config.cfg with `mode`, in a directory anyone may write.
Setup placeOldFile(fs::perms mode) {
  return [mode](const TempDir& dir) {
    fs::permissions(dir.path, fs::perms::all);
    writeFile(dir.pathOf("db_config.cfg"), kOldSettings);
    fs::permissions(dir.pathOf("db_config.cfg"), mode);
  };
}

}  // namespace

TEST(DbInit, ReportsPlacesTheUserMayNotWrite) {
  const std::vector<FaultCase> cases = {
      {"a directory the user may not write",
       [](const TempDir& dir) {
         fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
       },
       kCreate,
       "error: cannot create a new settings file in the directory '.': Permission denied\n", true},
      {"a file the user may not write",
       placeOldFile(fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read),
       kCreate,
       "error: cannot open the settings file './db_config.cfg' for writing: Permission denied\n",
       true},
      {"a FIFO nobody reads",
       [](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.pathOf("db_config.cfg").c_str(), 0644), 0); },
       kCreate,
       "for writing: No such device or address\n"
       "PROGRAM: detail: it is a FIFO that no process has open for reading\n"},
      {"a symlink into a missing directory",
       [](const TempDir& dir) { fs::create_symlink("nowhere/x", dir.pathOf("db_config.cfg")); },
       kCreate,
       "error: cannot open the directory './nowhere' of the settings file: No such file or "
       "directory\nPROGRAM: detail: './db_config.cfg' leads through symbolic links to "
       "'./nowhere/x'\n"},
      // A new file is made beside the old one and renamed over it.
      {"a file the user may write in a directory it may not",
       [&](const TempDir& dir) {
         placeOldFile(fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::group_write | fs::perms::others_read |
                      fs::perms::others_write)(dir);
         fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
       },
       kCreate,
       "PROGRAM: hint: db_init writes a new file and renames it over './db_config.cfg', so it "
       "needs to write that directory\n",
       true},
  };
  const auto keptAsItWas = [&](const FaultCase& c, const TempDir& dir) {
    const std::string file = dir.pathOf("db_config.cfg");
    if (c.what == "a directory the user may not write") {
      EXPECT_FALSE(fs::exists(file));
    } else if (fs::is_regular_file(file)) {
      EXPECT_EQ(readFile(file), kOldSettings);
    }
  };
  expectFaults({{"lumettool", kInit}, {"lumettool-2.0", kInit}}, cases, keptAsItWas);
}

// The new file cannot be given another user's ownership: that user's file is
// refused and left as it was. Only root can set up a file of another owner.
TEST(DbInit, LeavesAnotherUsersFileAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give the file another owner";
  const std::vector<FaultCase> cases = {
      {"another user's file open to everyone",
       placeOldFile(fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                    fs::perms::group_write | fs::perms::others_read | fs::perms::others_write),
       kWrite,
       "error: cannot give the new settings file beside './db_config.cfg' its owner and group",
       true},
  };
  expectFaults({{"lumettool", kInit}, {"lumettool-2.0", kInit}}, cases,
               [](const FaultCase& /*c*/, const TempDir& dir) {
                   EXPECT_EQ(readFile(dir.pathOf("db_config.cfg")), kOldSettings);
               });
}

// A regular file is replaced whole or not at all; a link stays a link and
// what it points to gets the record; a device is written through, never
// replaced.
TEST(DbInit, ReplacesTheFileALinkNamesAndWritesThroughDevices) {
  const std::string old = settingsRecord({"10.0.0.1", "5432", "old", "old", "old"});
  const std::string record = settingsRecord({"127.0.0.1", "5432", "u", "p", "d"});
  const auto linkTo = [](const std::string& target) {
    return [target](const TempDir& dir) {
      fs::create_directory(dir.pathOf("real"));
      fs::create_symlink("hop", dir.pathOf("db_config.cfg"));
      fs::create_symlink(target, dir.pathOf("hop"));
    };
  };
  const std::vector<FaultCase> cases = {
      {.what = "a file-size limit of 0",
       .setup = withContent(old),
       .expected = kWrite,
       .errHas = "error: cannot write the new settings file beside './db_config.cfg': File too "
                 "large\n",
       .fileSizeLimit = 0},
      {.what = "links to a regular file in another directory",
       .setup =
           [&](const TempDir& dir) {
             linkTo("real/settings")(dir);
             writeFile(dir.pathOf("real/settings"), old);
             fs::permissions(dir.pathOf("real/settings"), fs::perms::owner_all);
           },
       .expected = finalMessage(Outcome::kSuccess)},
      {.what = "links to a missing file", .setup = linkTo("real/settings"),
       .expected = finalMessage(Outcome::kSuccess),
       .created = "real/settings"},
      {.what = "links to /dev/full",
       .setup = linkTo("/dev/full"),
       .expected = kWrite,
       .errHas = "error: cannot write the settings to '/dev/full': No space left on device\n"
                 "PROGRAM: detail: './db_config.cfg' leads through symbolic links to "
                 "'/dev/full'\n"},
  };
  const auto check = [&](const FaultCase& c, const TempDir& dir) {
    const std::string file = dir.pathOf("db_config.cfg");
    if (c.fileSizeLimit == 0) {
      EXPECT_EQ(readFile(file), old);
      return;
    }
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(fs::read_symlink(file), "hop");
    if (c.expected == kWrite) {
      EXPECT_TRUE(fs::is_character_file("/dev/full"));
      EXPECT_EQ(fs::read_symlink(dir.pathOf("hop")), "/dev/full");
      return;
    }
    EXPECT_EQ(fs::read_symlink(dir.pathOf("hop")), "real/settings");
    EXPECT_EQ(readFile(dir.pathOf("real/settings")), record);
    EXPECT_EQ(fs::status(dir.pathOf("real/settings")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  };
  expectFaults({{"lumettool", kInit}, {"lumettool-2.0", kInit}}, cases, check);
}

// Whatever the message, a standard output that takes nothing (a full disk,
// closed, or a pipe whose reader has gone) ends the run with status 1 and
// no signal; the work itself is still done.
TEST(StandardOutput, UnwritableGivesStatusOneForEveryOutcome) {
  const LocalPort refusing(false);
  ASSERT_FALSE(refusing.port.empty());
  const std::string good = settingsRecord({"127.0.0.1", refusing.port, "u", "p", "d"});
  const std::vector<std::string> init = {"127.0.0.1", "5432", "u", "p", "d"};
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::optional<std::string> settings;
  };
  std::vector<Case> cases;
  for (const std::string program : {"lumettool", "lumettool-2.0", "lumettool-1.0"}) {
    cases.push_back({program, {"nosuchcommand"}, {}});
    cases.push_back({program, {"version"}, {}});
    cases.push_back({program, {"version", "x"}, {}});
    cases.push_back({program, {"enc_api_key", "xyz"}, {}});
    cases.push_back({program, {"enc_api_key", std::string(2048, 'f')}, {}});
  }
  for (const std::string program : {"lumettool", "lumettool-2.0"}) {
    const bool filtered = program == "lumettool";
    const auto query = [filtered](const std::string& fields, const std::string& from) {
      std::vector<std::string> args{"transaction_query", fields, "id=1", from, "20240102", "1",
                                    "0"};
      if (!filtered) args.erase(args.begin() + 2);
      return args;
    };
    cases.push_back({program, {"db_init", "127.0.0.1", "5432", "u", "p", "d"}, {}});
    cases.push_back({program, {"db_init", std::string(21, '1'), "5432", "u", "p", "d"}, {}});
    cases.push_back({program, query("id", "2024"), {}});
    cases.push_back({program, query("id", "20240101"), {}});
    cases.push_back({program, query("id", "20240101"), good.substr(0, 100)});
    cases.push_back({program, query("id", "20240101"), good});
    cases.push_back({program, query(std::string(10200, 'c'), "20240101"), good});
  }
  enum class Sink { kFull, kClosed, kReaderGone };
  for (const Case& c : cases) {
    for (const Sink sink : {Sink::kFull, Sink::kClosed, Sink::kReaderGone}) {
      SCOPED_TRACE(c.program + " " + c.args[0] + " with " + std::to_string(c.args.size()) +
                   " arguments" + (c.settings ? ", settings file" : "") +
                   (sink == Sink::kFull     ? ", stdout full"
                    : sink == Sink::kClosed ? ", stdout closed"
                                            : ", stdout reader gone"));
      TempDir dir;
      if (c.settings) writeFile(dir.pathOf("db_config.cfg"), *c.settings);
      RunOptions options = optionsIn(dir.path);
      if (sink == Sink::kFull) options.stdoutPath = "/dev/full";
      if (sink == Sink::kClosed) options.closedFds = {STDOUT_FILENO};
      options.stdoutReaderGone = sink == Sink::kReaderGone;
      options.timeoutSeconds = 15;
      const RunResult r = runProgram(programPath(c.program), c.args, options);
      EXPECT_FALSE(r.timedOut);
      EXPECT_EQ(r.termSignal, 0);
      EXPECT_EQ(r.exitStatus, 1);
      if (c.args[0] == "db_init" && c.args[1].size() < 21) {
        EXPECT_EQ(readFile(dir.pathOf("db_config.cfg")), settingsRecord(init));
      }
    }
  }
}

}  // namespace
