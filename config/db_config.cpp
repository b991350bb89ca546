#include "config/db_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

  FdCloser file{open(kDbConfigPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR)};
  if (file.fd < 0) {
    inPrintText("Error - Create DB Config File Failed");
    return;
  }
  // The file holds a password: an existing file is made private as well.
  // Only a regular file is touched, never a device the name may point to.
  struct stat st {};
  const bool regular = fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode);
  bool ok = !regular || fchmod(file.fd, S_IRUSR | S_IWUSR) == 0;
  ok = ok && boWriteRecord(file.fd, config);
  ok = ok && (!regular || fsync(file.fd) == 0);
  const int fd = file.fd;
  file.fd = -1;
  ok = (close(fd) == 0) && ok;
  inPrintText(ok ? "Success" : "Error - Write DB Config File Failed");
}

int inLoadDbConfig(DbConfig& config) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(kDbConfigPath, "rb"), &std::fclose);
  if (!file) {
    inPrintText("Error - Open DB Config File Failed");
    return -1;
  }
  // A record is 180 bytes whose fields all end within their width; anything
  // after the record is ignored.
  const size_t got = std::fread(&config, 1, sizeof config, file.get());
  if (got != sizeof config || !boDbConfigFieldsTerminated(config)) {
    inPrintText("Error - Read DB Config File Failed");
    return -1;
  }
  return 0;
}
