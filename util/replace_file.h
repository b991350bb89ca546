// Replacing a file so that its name always stands for either the old
// content or the whole new one, and the descriptor helpers that go with it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <span>
#include <string>

// Owns a descriptor and closes it when it goes out of scope.
struct FileDescriptor {
  int fd;
  explicit FileDescriptor(int opened) : fd(opened) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
};

// Closes the descriptor now, for a caller that needs to know it went well
// (a file system may report a failed write only here).
bool closeNow(FileDescriptor& file);

// Makes reads and writes on `fd` wait again after an open with O_NONBLOCK.
bool clearNonBlocking(int fd);

// Reads until `bytes` is full or the file ends: returns the number of bytes
// read, or -1 on an error (errno tells which).
ssize_t readFully(int fd, std::span<char> bytes);

// Writes all of `bytes`. On failure errno tells why, 0 when the file took
// no more bytes.
bool writeFully(int fd, std::span<const char> bytes);

// The directory part of `path`: "." when it has none.
std::string directoryOf(const std::string& path);

// Follows `path` through symbolic links to the name they finally stand
// for, whether or not a file of that name exists yet. False when a link
// cannot be read or there are too many of them; `path` is then the link
// that failed and errno tells why.
bool followLinks(std::string& path);

// The step of replaceFile that failed, in the order they are taken.
enum class ReplaceStep {
  kDone,            // nothing failed
  kFollowLinks,     // `target` is the link that could not be followed
  kOpenDirectory,   // the directory of the target, to flush it later
  kCreate,          // the new file beside the target
  kKeepOwner,       // giving the new file the old one's owner and group
  kMakePrivate,     // mode 0600
  kWrite,
  kFlush,
  kClose,
  kRename,          // over the target
  kFlushDirectory,  // the target holds the new content, which may not survive a crash
};

struct ReplaceResult {
  ReplaceStep failed = ReplaceStep::kDone;
  int err = 0;            // errno of the failed step; 0 when a write took no more bytes
  std::string target;     // the name the links lead to
  std::string directory;  // the target's directory
};

// Writes `bytes` to a private new file (mode 0600) beside the one `path`
// stands for through its links, named "." + its last component + a random
// suffix, and renames it over that. `old` is the file being replaced, null
// when there is none: the new file takes its owner and group, which only
// root may give away. On any failure before the rename the new file is
// removed and the old one is left as it was.
ReplaceResult replaceFile(const std::string& path, std::span<const char> bytes,
                          const struct stat* old);
