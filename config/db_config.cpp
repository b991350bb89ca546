#include "config/db_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
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

  // O_NONBLOCK only keeps the open from waiting for a reader when the name
  // is a FIFO; the writes below block as usual. The file is emptied only
  // once it is known to be ours to rewrite, so a refused run leaves it whole.
  FdCloser file{
      open(kDbConfigPath, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR)};
  if (file.fd < 0) {
    inPrintText("Error - Create DB Config File Failed");
    return;
  }
  bool ok = boClearNonBlocking(file.fd);
  // The file holds a password: an existing file is made private as well.
  // Only a regular file is touched, never a device the name may point to.
  struct stat st {};
  const bool regular = fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode);
  ok = ok &&
       (!regular || (fchmod(file.fd, S_IRUSR | S_IWUSR) == 0 && ftruncate(file.fd, 0) == 0));
  ok = ok && boWriteRecord(file.fd, config);
  ok = ok && (!regular || fsync(file.fd) == 0);
  const int fd = file.fd;
  file.fd = -1;
  ok = (close(fd) == 0) && ok;
  inPrintText(ok ? "Success" : "Error - Write DB Config File Failed");
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
