#include "config/db_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "util/output.h"

namespace {

// Copies `value` into `field` when it fits with its terminating zero.
bool boStoreField(std::span<char> field, std::string_view value) {
  if (value.size() >= field.size()) return false;
  std::memcpy(field.data(), value.data(), value.size());
  return true;
}

bool boFieldTerminated(std::span<const char> field) {
  return std::memchr(field.data(), '\0', field.size()) != nullptr;
}

// Closes the descriptor when the function that opened it returns.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

// Closes the descriptor now, for a caller that needs to know it went well
// (a file system may report a failed write only here).
bool boCloseNow(FdCloser& file) {
  const int fd = file.fd;
  file.fd = -1;
  return close(fd) == 0;
}

// Removes the file of that name when the function that made it returns,
// unless it has been handed on (the name cleared) by then.
struct FileRemover {
  std::string path;
  ~FileRemover() {
    if (!path.empty()) unlink(path.c_str());
  }
};

bool boClearNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Reads a whole record; false on an error or when the file ends before it.
bool boReadRecord(int fd, DbConfig& config) {
  auto* bytes = reinterpret_cast<char*>(&config);
  size_t done = 0;
  while (done < sizeof config) {
    const ssize_t n = read(fd, bytes + done, sizeof config - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes the record to an open descriptor and makes sure it reached the file.
bool boWriteRecord(int fd, const DbConfig& config) {
  const auto* bytes = reinterpret_cast<const char*>(&config);
  size_t done = 0;
  while (done < sizeof config) {
    const ssize_t n = write(fd, bytes + done, sizeof config - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

enum class Written { kDone, kCreateFailed, kWriteFailed };

const char* pszWrittenMessage(Written written) {
  switch (written) {
    case Written::kDone: break;
    case Written::kCreateFailed: return "Error - Create DB Config File Failed";
    case Written::kWriteFailed: return "Error - Write DB Config File Failed";
  }
  return "Success";
}

// The directory part of `path`: "." when it has none.
std::string sDirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows `path` through symbolic links to the name they finally stand
// for, whether or not a file of that name exists yet. False when a link
// cannot be read or there are too many of them.
bool boFollowLinks(std::string& path) {
  constexpr int kMaxLinks = 40;  // as many as the kernel follows in one lookup
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    std::array<char, PATH_MAX> link{};
    const ssize_t n = readlink(path.c_str(), link.data(), link.size());
    // Not a link, or nothing there: this is the name.
    if (n < 0) return errno == EINVAL || errno == ENOENT;
    if (static_cast<size_t>(n) == link.size()) return false;
    const std::string_view target(link.data(), static_cast<size_t>(n));
    if (target.starts_with('/')) {
      path = target;
    } else {
      path = sDirectoryOf(path);
      path += '/';
      path += target;
    }
  }
  return false;
}

// The new file takes the owner and group of the one it replaces, as the old
// file kept them when it was rewritten in place. A user may not give a file
// away: replacing someone else's file is refused (only root may do it).
bool boKeepOwner(int fd, const struct stat& old) {
  struct stat made {};
  if (fstat(fd, &made) != 0) return false;
  if (made.st_uid == old.st_uid && made.st_gid == old.st_gid) return true;
  return fchown(fd, old.st_uid, old.st_gid) == 0;
}

// Writes the record to a private file beside the one the name stands for
// and renames it over that, so the name always holds either the old record
// or the whole new one. `old` is the file being replaced, null when there
// is none. Making the new file needs a directory the user may write (and
// read, to flush it); on any failure before the rename the new file is
// removed and the old one is left as it was.
Written wrReplaceFile(const DbConfig& config, const struct stat* old) {
  std::string target = kDbConfigPath;
  if (!boFollowLinks(target)) return Written::kCreateFailed;
  const std::string directoryPath = sDirectoryOf(target);
  const FdCloser directory{open(directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd < 0) return Written::kCreateFailed;
  // mkostemp makes the file with O_EXCL and mode 0600 under a new name.
  std::string tempPath = directoryPath + "/.db_config.cfg.XXXXXX";
  FdCloser file{mkostemp(tempPath.data(), O_CLOEXEC)};
  if (file.fd < 0) return Written::kCreateFailed;
  FileRemover remover{tempPath};
  // The file holds a password: private whatever the umask.
  const bool written = (old == nullptr || boKeepOwner(file.fd, *old)) &&
                       fchmod(file.fd, S_IRUSR | S_IWUSR) == 0 &&
                       boWriteRecord(file.fd, config) && fsync(file.fd) == 0 &&
                       boCloseNow(file) && rename(tempPath.c_str(), target.c_str()) == 0;
  if (!written) return Written::kWriteFailed;
  remover.path.clear();  // the name is the settings file's now
  return fsync(directory.fd) == 0 ? Written::kDone : Written::kWriteFailed;
}

// Writes the record into what is not a regular file (a device, a FIFO with
// a reader) as it is: it is never replaced, nor its mode changed.
Written wrWriteThrough(FdCloser& file, const DbConfig& config) {
  const bool ok = boClearNonBlocking(file.fd) && boWriteRecord(file.fd, config);
  return boCloseNow(file) && ok ? Written::kDone : Written::kWriteFailed;
}

Written wrSaveRecord(const DbConfig& config) {
  // Opening what is there, without creating or emptying it, tells whether
  // the user may write it and what it is. O_NONBLOCK only keeps the open
  // from waiting for a reader when the name is a FIFO.
  FdCloser existing{open(kDbConfigPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
  if (existing.fd < 0) {
    return errno == ENOENT ? wrReplaceFile(config, nullptr) : Written::kCreateFailed;
  }
  struct stat st {};
  if (fstat(existing.fd, &st) != 0) return Written::kWriteFailed;
  if (!S_ISREG(st.st_mode)) return wrWriteThrough(existing, config);
  return wrReplaceFile(config, &st);
}

}  // namespace

bool boDbConfigFieldsTerminated(const DbConfig& config) {
  return boFieldTerminated(config.szHostAddr) && boFieldTerminated(config.szPort) &&
         boFieldTerminated(config.szUser) && boFieldTerminated(config.szPassword) &&
         boFieldTerminated(config.szDbName);
}

void vdDbInit(const char* pszHostAddr, const char* pszPort, const char* pszUser,
              const char* pszPassword, const char* pszDbName) {
  DbConfig config{};
  if (!boStoreField(config.szHostAddr, pszHostAddr) || !boStoreField(config.szPort, pszPort) ||
      !boStoreField(config.szUser, pszUser) || !boStoreField(config.szPassword, pszPassword) ||
      !boStoreField(config.szDbName, pszDbName)) {
    inPrintText("Error - Parameter Too Long");
    return;
  }

  inPrintText(pszWrittenMessage(wrSaveRecord(config)));
}

int inLoadDbConfig(DbConfig& config) {
  // Not blocking in open: a FIFO without a writer reads as empty below
  // instead of stopping the program.
  const FdCloser file{open(kDbConfigPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) {
    inPrintText("Error - Open DB Config File Failed");
    return -1;
  }
  // A record is 180 bytes whose fields all end within their width; anything
  // after the record is ignored.
  if (!boClearNonBlocking(file.fd) || !boReadRecord(file.fd, config) ||
      !boDbConfigFieldsTerminated(config)) {
    inPrintText("Error - Read DB Config File Failed");
    return -1;
  }
  return 0;
}
