#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "commands/output_format.h"
#include "tests/support/temp_dir.h"
#include "util/output.h"
#include "util/spool.h"

namespace {

// Standard output goes to `path` while this lives.
struct StdoutTo {
  int saved = -1;
  explicit StdoutTo(const std::string& path) {
    (void)std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0) << path;
    (void)dup2(fd, STDOUT_FILENO);
    (void)close(fd);
  }
  ~StdoutTo() {
    __fpurge(stdout);  // what a failed write left must not reach the test's log
    std::clearerr(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
  }
  StdoutTo(const StdoutTo&) = delete;
  StdoutTo& operator=(const StdoutTo&) = delete;
};

// A 64 KiB tmpfs, for a disk that fills up; only root can mount it.
struct TinyDisk {
  std::string path;
  bool mounted = false;
  explicit TinyDisk(const std::string& dir) : path(dir) {
    mounted = geteuid() == 0 && mkdir(dir.c_str(), 0700) == 0 &&
              mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~TinyDisk() {
    if (mounted) (void)umount(path.c_str());
  }
};

std::string sampleRow(size_t n) { return std::to_string(n) + "|ab\\tc|\\N\n"; }

}  // namespace

TEST(Spool, WritesOutWhatWasAppendedThenStartsAgain) {
  TempDir dir;
  // Pieces that fit in memory, then pieces that spill over, one of them
  // longer than the memory itself.
  const std::string big(kSpoolMemory + 12345, 'b');
  const std::string medium(kSpoolMemory / 3 + 7, 'm');
  struct Case { std::vector<std::string> pieces; bool spills; };
  const Case cases[] = {{{}, false},
                        {{"a|b\n", "", "c\n"}, false},
                        {{medium, medium, medium, "x\n", medium, big, "end\n"}, true},
                        {{big}, true},
                        {{"after\n"}, false}};
  Spool spool(dir.path);
  for (const Case& c : cases) {
    std::string expected;
    for (const std::string& piece : c.pieces) {
      ASSERT_TRUE(spoolWrite(spool, piece)) << spoolReason(spool);
      expected += piece;
    }
    EXPECT_EQ(spoolSize(spool), expected.size());
    if (c.spills) {
      EXPECT_GE(spool.fd, 0);
    }
    SpoolOut out;
    {
      const StdoutTo redirect(dir.pathOf("out"));
      out = spoolOut(spool);
    }
    EXPECT_EQ(out.fault, SpoolOutFault::kNone);
    EXPECT_EQ(out.written, expected.size());
    EXPECT_TRUE(readFile(dir.pathOf("out")) == expected) << expected.size();
    spoolReset(spool);
  }
}

TEST(Spool, TellsWhyItCannotSpill) {
  TempDir dir;
  const TinyDisk disk(dir.pathOf("tiny"));
  struct Case { std::string directory, reason; };
  std::vector<Case> cases = {
      {"/nonexistent",
       "cannot create a temporary file in '/nonexistent' (TMPDIR) after 2 MiB of the chunk: No "
       "such file or directory"},
      {"/dev/null",
       "cannot create a temporary file in '/dev/null' (TMPDIR) after 2 MiB of the chunk: Not a "
       "directory"}};
  if (disk.mounted) {
    cases.push_back({disk.path, "cannot write the chunk's rows to a temporary file in '" +
                                    disk.path +
                                    "' (TMPDIR) after 2 MiB of the chunk: No space left on device"});
  }
  for (const Case& c : cases) {
    Spool spool(c.directory);
    const std::string half(kSpoolMemory / 2 + 1, 'h');
    EXPECT_TRUE(spoolWrite(spool, half));
    EXPECT_FALSE(spoolWrite(spool, half));
    EXPECT_EQ(spoolReason(spool), c.reason);
    EXPECT_FALSE(spoolWrite(spool, "x\n")) << "a failed spool takes no more";
    spoolReset(spool);
    EXPECT_TRUE(spoolWrite(spool, "x\n"));
    EXPECT_EQ(spoolSize(spool), 2U);
  }
  if (!disk.mounted) GTEST_SKIP() << "a full disk needs root, to mount a tmpfs";
}

TEST(Spool, CountsWhatReachedAFullOutput) {
  TempDir dir;
  const TinyDisk disk(dir.pathOf("tiny"));
  if (!disk.mounted) GTEST_SKIP() << "a full disk needs root, to mount a tmpfs";
  for (const std::string& directory : {dir.path, std::string("/nonexistent")}) {
    Spool spool(directory);
    const size_t total = directory == dir.path ? kSpoolMemory + 1 : 200000;  // spilled, or not
    ASSERT_TRUE(spoolWrite(spool, std::string(total, 'r')));
    SpoolOut out;
    {
      const StdoutTo redirect(disk.path + "/out");
      out = spoolOut(spool);
    }
    EXPECT_EQ(out.fault, SpoolOutFault::kOutput);
    EXPECT_GT(out.written, 0U);
    EXPECT_EQ(out.written, readFile(disk.path + "/out").size());
    (void)unlink((disk.path + "/out").c_str());
  }
}

// Many rows, far past the spool's memory, come out whole and in order. How
// little memory that takes is measured in bench/export.
TEST(Spool, HoldsTwoMillionRows) {
  TempDir dir;
  constexpr size_t kRows = 2'000'000;
  Spool spool(dir.path);
  size_t breaking = 0;
  for (size_t n = 0; n < kRows; ++n) {
    std::string row = sampleRow(n);
    ASSERT_TRUE(spoolCopyRow(spool, row, OutputFormat::kText, ClientEncoding::kAsciiSafe, breaking))
        << spoolReason(spool);
  }
  ASSERT_GT(spoolSize(spool), kSpoolMemory);
  SpoolOut out;
  {
    const StdoutTo redirect(dir.pathOf("out"));
    out = spoolOut(spool);
  }
  EXPECT_EQ(out.fault, SpoolOutFault::kNone);
  EXPECT_EQ(out.written, spoolSize(spool));
  std::ifstream file(dir.pathOf("out"));
  std::string line;
  size_t n = 0;
  for (; std::getline(file, line); ++n) {
    if (line != std::to_string(n) + "|ab\tc|") FAIL() << "line " << n << ": " << line;
  }
  EXPECT_EQ(n, kRows);
  EXPECT_EQ(breaking, 0U);
}
