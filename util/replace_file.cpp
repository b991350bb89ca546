#include "util/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <utility>

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) close(fd);
}

bool closeNow(FileDescriptor& file) {
  const int fd = file.fd;
  file.fd = -1;
  return close(fd) == 0;
}

bool clearNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

ssize_t readFully(int fd, std::span<char> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool writeFully(int fd, std::span<const char> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool followLinks(std::string& path) {
  constexpr int kMaxLinks = 40;  // as many as the kernel follows in one lookup
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    std::array<char, PATH_MAX> link{};
    const ssize_t n = readlink(path.c_str(), link.data(), link.size());
    // Not a link, or nothing there: this is the name.
    if (n < 0) return errno == EINVAL || errno == ENOENT;
    if (static_cast<size_t>(n) == link.size()) {
      errno = ENAMETOOLONG;
      return false;
    }
    const std::string_view target(link.data(), static_cast<size_t>(n));
    if (target.starts_with('/')) {
      path = target;
    } else {
      path = directoryOf(path);
      path += '/';
      path += target;
    }
  }
  errno = ELOOP;
  return false;
}

namespace {

// Removes the file of that name when the function that made it returns,
// unless it has been handed on (the name cleared) by then.
struct FileRemover {
  std::string path;
  explicit FileRemover(std::string name) : path(std::move(name)) {}
  ~FileRemover() {
    if (!path.empty()) unlink(path.c_str());
  }
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;
};

// The new file takes the owner and group of the one it replaces, as the old
// file kept them when it was rewritten in place. A user may not give a file
// away: replacing someone else's file is refused (only root may do it).
bool keepOwner(int fd, const struct stat& old) {
  struct stat made {};
  if (fstat(fd, &made) != 0) return false;
  if (made.st_uid == old.st_uid && made.st_gid == old.st_gid) return true;
  return fchown(fd, old.st_uid, old.st_gid) == 0;
}

// The result of a step that failed just now, errno telling why.
ReplaceResult failedAt(ReplaceStep step, ReplaceResult& result) {
  result.failed = step;
  result.err = errno;
  return result;
}

}  // namespace

ReplaceResult replaceFile(const std::string& path, std::span<const char> bytes,
                          const struct stat* old) {
  ReplaceResult result;
  result.target = path;
  if (!followLinks(result.target)) return failedAt(ReplaceStep::kFollowLinks, result);
  result.directory = directoryOf(result.target);
  const FileDescriptor directory{
      open(result.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd < 0) return failedAt(ReplaceStep::kOpenDirectory, result);
  // mkostemp makes the file with O_EXCL and mode 0600 under a new name.
  const size_t slash = path.find_last_of('/');
  std::string tempPath = result.directory + "/." +
                         (slash == std::string::npos ? path : path.substr(slash + 1)) + ".XXXXXX";
  FileDescriptor file{mkostemp(tempPath.data(), O_CLOEXEC)};
  if (file.fd < 0) return failedAt(ReplaceStep::kCreate, result);
  FileRemover remover{tempPath};
  if (old != nullptr && !keepOwner(file.fd, *old)) return failedAt(ReplaceStep::kKeepOwner, result);
  // The content may be secret: private whatever the umask.
  if (fchmod(file.fd, S_IRUSR | S_IWUSR) != 0) return failedAt(ReplaceStep::kMakePrivate, result);
  if (!writeFully(file.fd, bytes)) return failedAt(ReplaceStep::kWrite, result);
  if (fsync(file.fd) != 0) return failedAt(ReplaceStep::kFlush, result);
  if (!closeNow(file)) return failedAt(ReplaceStep::kClose, result);
  if (rename(tempPath.c_str(), result.target.c_str()) != 0) {
    return failedAt(ReplaceStep::kRename, result);
  }
  remover.path.clear();  // the name is the target's now
  if (fsync(directory.fd) != 0) return failedAt(ReplaceStep::kFlushDirectory, result);
  return result;
}
