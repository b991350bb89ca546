#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "util/resumable_file.h"

namespace {

// The condition holds a line break and what looks like the checkpoint's end.
const std::vector<IdentityField> kIdentity = {
    {"edition", "2.1"}, {"fields", "id,amount"}, {"condition", "status=1\nend\n"},
    {"from", "20240101"}, {"to", "20240131"}, {"days", "7"}, {"format", "text"}};

void put(const ResumableFile& file, const std::string& bytes) {
  ASSERT_TRUE(writeFully(file.part.fd, bytes));
}

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename());
  }
  return names;
}

// A run that committed "abc" as the rows up to 2024-01-02, then wrote and
// flushed "def" and was stopped before its checkpoint.
void stoppedRun(const std::string& path) {
  ResumableFile file;
  ASSERT_TRUE(resumableOpen(file, path, kIdentity)) << file.reason;
  EXPECT_EQ(file.warning, "");
  put(file, "abc");
  ASSERT_TRUE(resumableCommit(file, "20240103")) << file.reason;
  put(file, "def");
  ASSERT_EQ(fsync(file.part.fd), 0);
}

std::vector<IdentityField> with(std::string_view name, std::string_view value) {
  std::vector<IdentityField> identity = kIdentity;
  const auto field = std::find_if(identity.begin(), identity.end(),
                                  [&name](const IdentityField& f) { return f.name == name; });
  if (field == identity.end()) {
    identity.push_back({name, value});
  } else if (value.empty()) {
    identity.erase(field);
  } else {
    field->value = value;
  }
  return identity;
}

}  // namespace

TEST(ResumableFile, GoesOnFromItsCheckpointOrStartsAfresh) {
  TempDir dir;
  const std::string path = dir.pathOf("out.txt");
  const std::string part = path + ".part";
  const std::string checkpoint = part + ".checkpoint";
  const std::string afresh = "'" + part + "' is started afresh: ";
  const std::string unfit = afresh + "its checkpoint '" + checkpoint + "' ";
  const std::string other = unfit + "was made by another export: ";
  const auto edit = [&checkpoint](std::string_view from, std::string_view to) {
    std::string text = readFile(checkpoint);
    text.replace(text.rfind(from), from.size(), to);
    writeFile(checkpoint, text);
  };
  struct Case {
    std::string what;
    std::function<void()> between;  // done to the files after the stop
    std::vector<IdentityField> identity;
    bool resumes;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"same export", [] {}, kIdentity, true, ""},
      {"edition", [] {}, with("edition", "2.0"), false, other + "edition '2.1' there, '2.0' now"},
      {"fields", [] {}, with("fields", "all"), false, other + "fields 'id,amount' there, 'all' now"},
      {"condition", [] {}, with("condition", "status=1"), false,
       other + "condition 'status=1\\x0Aend\\x0A' there, 'status=1' now"},
      {"range", [] {}, with("to", "20240201"), false, other + "to '20240131' there, '20240201' now"},
      {"days", [] {}, with("days", "1"), false, other + "days '7' there, '1' now"},
      {"format", [] {}, with("format", "copy"), false,
       other + "format 'text' there, 'copy' now"},
      {"a field more", [] {}, with("zone", "UTC"), false, other + "zone none there, 'UTC' now"},
      {"a field less", [] {}, with("format", ""), false, other + "format 'text' there, none now"},
      {"bytes lost", [&part] { ASSERT_EQ(truncate(part.c_str(), 2), 0); }, kIdentity, false,
       unfit + "names 3 complete bytes, but '" + part + "' holds 2"},
      {"no .part", [&part] { ASSERT_EQ(unlink(part.c_str()), 0); }, kIdentity, false,
       unfit + "names 3 complete bytes, but '" + part + "' holds 0"},
      {"no checkpoint", [&checkpoint] { ASSERT_EQ(unlink(checkpoint.c_str()), 0); }, kIdentity,
       false, afresh + "it holds 6 bytes but has no checkpoint '" + checkpoint + "'"},
      {"a later version", [&edit] { edit("checkpoint 1\n", "checkpoint 2\n"); }, kIdentity, false,
       unfit + "is of version '2', which this lumettool does not read"},
      {"not a checkpoint", [&checkpoint] { writeFile(checkpoint, "complete 3\n"); }, kIdentity,
       false, unfit + "is not a lumettool checkpoint"},
      {"cut short", [&edit] { edit("end\n", ""); }, kIdentity, false,
       unfit + "is damaged at byte 212"},
      {"a length past its value", [&edit] { edit("next 8 ", "next 9 "); }, kIdentity, false,
       unfit + "is damaged at byte 57"},
      {"a field twice", [&edit] { edit("field to ", "field from "); }, kIdentity, false,
       unfit + "is damaged at byte 168"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    stoppedRun(path);
    c.between();
    {
      ResumableFile file;
      ASSERT_TRUE(resumableOpen(file, path, c.identity)) << file.reason;
      EXPECT_EQ(file.warning, c.warning);
      EXPECT_EQ(file.resumeFrom, c.resumes ? "20240103" : "");
      const std::string kept = c.resumes ? "abc" : "";
      EXPECT_EQ(readFile(part), kept);
      EXPECT_EQ(lseek(file.part.fd, 0, SEEK_CUR), static_cast<off_t>(kept.size()));
      EXPECT_EQ(access(checkpoint.c_str(), F_OK) == 0, c.resumes);
      put(file, "xyz");
      ASSERT_TRUE(resumableCommit(file, "20240201")) << file.reason;
      ASSERT_TRUE(resumableFinish(file)) << file.reason;
      EXPECT_EQ(readFile(path), kept + "xyz");
    }
    EXPECT_EQ(namesIn(dir.path), std::set<std::string>{"out.txt"});
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600U);
  }
}

TEST(ResumableFile, OneRunPerFile) {
  TempDir dir;
  const std::string path = dir.pathOf("out.txt");
  ASSERT_EQ(symlink("out.txt", dir.pathOf("link").c_str()), 0);
  ResumableFile first;
  ASSERT_TRUE(resumableOpen(first, path, kIdentity)) << first.reason;
  put(first, "abc");
  ASSERT_TRUE(resumableCommit(first, "20240103")) << first.reason;
  const std::string checkpoint = readFile(path + ".part.checkpoint");
  for (const std::string& name : {path, dir.pathOf("link")}) {
    ResumableFile second;
    EXPECT_FALSE(resumableOpen(second, name, with("days", "1")));
    EXPECT_TRUE(second.busy);
    EXPECT_EQ(second.reason, "another run is writing '" + path + ".part' (it holds its lock)");
    EXPECT_EQ(readFile(path + ".part"), "abc");
    EXPECT_EQ(readFile(path + ".part.checkpoint"), checkpoint);
  }
  // The first run still holds the lock on what is now PATH: a new run makes
  // a new PATH.part and finds no checkpoint to go on from.
  ASSERT_TRUE(resumableFinish(first)) << first.reason;
  ResumableFile next;
  ASSERT_TRUE(resumableOpen(next, path, kIdentity)) << next.reason;
  EXPECT_EQ(next.warning, "");
  EXPECT_EQ(next.resumeFrom, "");
  EXPECT_EQ(readFile(path), "abc");
}

TEST(ResumableFile, FinishesOnlyTheCompleteBytes) {
  TempDir dir;
  const std::string path = dir.pathOf("out.txt");
  ResumableFile file;
  ASSERT_TRUE(resumableOpen(file, path, kIdentity)) << file.reason;
  put(file, "abc");
  ASSERT_TRUE(resumableCommit(file, "20240103")) << file.reason;
  put(file, "de");
  EXPECT_FALSE(resumableFinish(file));
  EXPECT_EQ(file.reason, "'" + path + ".part' holds 5 bytes, of which 3 are complete");
  ASSERT_TRUE(resumableCutBack(file)) << file.reason;
  put(file, "f");
  ASSERT_TRUE(resumableCommit(file, "20240110")) << file.reason;
  ASSERT_TRUE(resumableFinish(file)) << file.reason;
  EXPECT_EQ(readFile(path), "abcf");
}

TEST(ResumableFile, TellsWhyItCannotOpen) {
  TempDir dir;
  const std::string path = dir.pathOf("out.txt");
  const std::string part = path + ".part";
  struct Case {
    std::function<void()> before;
    std::string path;
    std::vector<IdentityField> identity;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {[] {}, dir.pathOf("none/out.txt"), kIdentity,
       "cannot open the directory '" + dir.pathOf("none") + "': No such file or directory"},
      {[&part] { ASSERT_EQ(mkdir(part.c_str(), 0700), 0); }, path, kIdentity,
       "cannot open '" + part + "': Is a directory"},
      {[&part] { ASSERT_EQ(symlink("elsewhere", part.c_str()), 0); }, path, kIdentity,
       "cannot open '" + part + "': Too many levels of symbolic links"},
      {[&part] { ASSERT_EQ(mkfifo(part.c_str(), 0600), 0); }, path, kIdentity,
       "'" + part + "' is not a regular file"},
      {[&part] { ASSERT_EQ(mkdir((part + ".checkpoint").c_str(), 0700), 0); }, path, kIdentity,
       "the checkpoint '" + part + ".checkpoint' is not a regular file"},
      {[] {}, path, with("time zone", "UTC"), "the export's identity has a field named 'time "
                                               "zone', which is not a plain word used once"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    c.before();
    ResumableFile file;
    EXPECT_FALSE(resumableOpen(file, c.path, c.identity));
    EXPECT_EQ(file.reason, c.reason);
    EXPECT_FALSE(file.busy);
    std::filesystem::remove_all(part);
    std::filesystem::remove_all(part + ".checkpoint");
  }
}
