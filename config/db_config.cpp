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
#include <utility>

#include "config/field_warnings.h"
#include "util/diagnostics.h"
#include "util/replace_file.h"

namespace {

// The record's fields in file order, and the names the operator knows them by.
constexpr std::array<std::string_view, 5> kFieldNames = {"host address", "port", "user",
                                                         "password", "database name"};

std::array<std::span<char>, 5> fieldsOf(DbConfig& config) {
  return {config.szHostAddr, config.szPort, config.szUser, config.szPassword, config.szDbName};
}

std::array<std::span<const char>, 5> fieldsOf(const DbConfig& config) {
  return {config.szHostAddr, config.szPort, config.szUser, config.szPassword, config.szDbName};
}

// A path as the operator is told it: quoted, never cut.
std::string quotedPath(std::string_view path) { return quoted(path, PATH_MAX); }

// Tells "cannot WHAT: REASON", the reason being the system's for `errnum`;
// a write that took nothing without a reason (`errnum` 0) says so.
void tellCannot(std::string_view what, int errnum) {
  tellError({"cannot ", what, ": ",
             errnum != 0 ? systemError(errnum) : std::string("it took no more bytes")});
}

// Tells where `path` leads when it is a symbolic link.
void tellIfLink(const char* path) {
  std::array<char, PATH_MAX> link{};
  const ssize_t n = readlink(path, link.data(), link.size());
  if (n < 0) return;
  tellDetail({quotedPath(path), " is a symbolic link to ",
              quotedPath(std::string_view(link.data(), static_cast<size_t>(n)))});
}

// Copies `value` into `field` when it fits with its terminating zero.
bool storeField(std::span<char> field, std::string_view value) {
  if (value.size() >= field.size()) return false;
  std::memcpy(field.data(), value.data(), value.size());
  return true;
}

bool fieldTerminated(std::span<const char> field) {
  return std::memchr(field.data(), '\0', field.size()) != nullptr;
}

// The index of the first field without a zero byte within its width; -1
// when every field has one.
int unterminatedField(const DbConfig& config) {
  const auto fields = fieldsOf(config);
  for (size_t i = 0; i < fields.size(); ++i)
    if (!fieldTerminated(fields[i])) return static_cast<int>(i);
  return -1;
}

// Reads a record: returns the number of bytes read, fewer than a record
// when the file ends first, or -1 on an error (errno tells which).
ssize_t readRecord(int fd, DbConfig& config) {
  return readFully(fd, std::span(reinterpret_cast<char*>(&config), sizeof config));
}

// Writes the record to an open descriptor. On failure errno tells why, 0
// when the file took no more bytes.
bool writeRecord(int fd, const DbConfig& config) {
  return writeFully(fd, std::span(reinterpret_cast<const char*>(&config), sizeof config));
}

// Tells why the settings could not be written (see tellCannot) and,
// when the settings file is a link, where it leads; returns `written`.
Outcome cannotWrite(Outcome written, std::string_view what, int errnum, const std::string& target) {
  tellCannot(what, errnum);
  if (target != kDbConfigPath) {
    tellDetail({quotedPath(kDbConfigPath), " leads through symbolic links to ",
                quotedPath(target)});
  }
  return written;
}

// Replaces the file the settings file's name stands for by a new one
// holding the record (see replaceFile). `old` is the file being replaced,
// null when there is none. Making the new file needs a directory the user
// may write (and read, to flush it).
Outcome replaceSettingsFile(const DbConfig& config, const struct stat* old) {
  const ReplaceResult result =
      replaceFile(kDbConfigPath, std::span(reinterpret_cast<const char*>(&config), sizeof config),
                  old);
  const std::string& target = result.target;
  const std::string beside = "the new settings file beside " + quotedPath(target);
  const int err = result.err;
  switch (result.failed) {
    case ReplaceStep::kDone: return Outcome::kSuccess;
    case ReplaceStep::kFollowLinks:
      return cannotWrite(Outcome::kCreateConfigFailed,
                         "follow the symbolic link " + quotedPath(target), err, kDbConfigPath);
    case ReplaceStep::kOpenDirectory:
      return cannotWrite(
          Outcome::kCreateConfigFailed,
          "open the directory " + quotedPath(result.directory) + " of the settings file", err,
          target);
    case ReplaceStep::kCreate:
      cannotWrite(Outcome::kCreateConfigFailed,
                  "create a new settings file in the directory " + quotedPath(result.directory),
                  err, target);
      if (err == EACCES || err == EPERM) {
        tellHint({"db_init writes a new file and renames it over ", quotedPath(target),
                  ", so it needs to write that directory"});
      }
      return Outcome::kCreateConfigFailed;
    case ReplaceStep::kKeepOwner: {
      // replaceFile takes this step only when there is an old file.
      const std::string owner = old == nullptr ? std::string()
                                               : " (user " + std::to_string(old->st_uid) +
                                                     ", group " + std::to_string(old->st_gid) + ")";
      cannotWrite(Outcome::kWriteConfigFailed, "give " + beside + " its owner and group" + owner,
                  err, target);
      tellDetail({quotedPath(target), " is left as it was"});
      return Outcome::kWriteConfigFailed;
    }
    case ReplaceStep::kMakePrivate:
      return cannotWrite(Outcome::kWriteConfigFailed, "make " + beside + " private (mode 0600)",
                         err, target);
    case ReplaceStep::kWrite:
      return cannotWrite(Outcome::kWriteConfigFailed, "write " + beside, err, target);
    case ReplaceStep::kFlush:
      return cannotWrite(Outcome::kWriteConfigFailed, "flush " + beside + " to disk", err, target);
    case ReplaceStep::kClose:
      return cannotWrite(Outcome::kWriteConfigFailed, "close " + beside, err, target);
    case ReplaceStep::kRename:
      return cannotWrite(Outcome::kWriteConfigFailed,
                         "rename the new settings file to " + quotedPath(target), err, target);
    case ReplaceStep::kFlushDirectory:
      cannotWrite(Outcome::kWriteConfigFailed,
                  "flush the directory " + quotedPath(result.directory) + " to disk", err, target);
      tellDetail(
          {"the new settings are in ", quotedPath(target), " but may not survive a crash"});
      return Outcome::kWriteConfigFailed;
  }
  return Outcome::kWriteConfigFailed;
}

// Writes the record into what is not a regular file (a device, a FIFO with
// a reader) as it is: it is never replaced, nor its mode changed.
Outcome writeThrough(FileDescriptor& file, const DbConfig& config) {
  std::string target = kDbConfigPath;
  if (!followLinks(target)) target = kDbConfigPath;  // it was opened: name it as given
  if (!clearNonBlocking(file.fd) || !writeRecord(file.fd, config)) {
    const int err = errno;
    return cannotWrite(Outcome::kWriteConfigFailed, "write the settings to " + quotedPath(target),
                       err, target);
  }
  if (!closeNow(file)) {
    const int err = errno;
    return cannotWrite(Outcome::kWriteConfigFailed, "close " + quotedPath(target), err, target);
  }
  return Outcome::kSuccess;
}

Outcome saveRecord(const DbConfig& config) {
  // Opening what is there, without creating or emptying it, tells whether
  // the user may write it and what it is. O_NONBLOCK only keeps the open
  // from waiting for a reader when the name is a FIFO.
  FileDescriptor existing{open(kDbConfigPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
  if (existing.fd < 0) {
    const int err = errno;
    if (err == ENOENT) return replaceSettingsFile(config, nullptr);
    tellCannot("open the settings file " + quotedPath(kDbConfigPath) + " for writing", err);
    if (err == ENXIO) tellDetail({"it is a FIFO that no process has open for reading"});
    tellIfLink(kDbConfigPath);
    return Outcome::kCreateConfigFailed;
  }
  struct stat st {};
  if (fstat(existing.fd, &st) != 0) {
    const int err = errno;
    tellCannot("examine the settings file " + quotedPath(kDbConfigPath), err);
    return Outcome::kWriteConfigFailed;
  }
  if (!S_ISREG(st.st_mode)) return writeThrough(existing, config);
  return replaceSettingsFile(config, &st);
}

}  // namespace

bool dbConfigFieldsTerminated(const DbConfig& config) { return unterminatedField(config) < 0; }

Outcome vdDbInit(const char* hostAddr, const char* port, const char* user, const char* password,
                 const char* dbName) {
  DbConfig config{};
  const std::array<std::string_view, 5> values = {hostAddr, port, user, password, dbName};
  const auto fields = fieldsOf(config);
  bool fits = true;
  // Every value that does not fit is named with its length, never its text.
  for (size_t i = 0; i < values.size(); ++i) {
    if (storeField(fields[i], values[i])) continue;
    tellError({"the ", kFieldNames[i], " is ", std::to_string(values[i].size()),
               " bytes long, over its limit of ", std::to_string(fields[i].size() - 1),
               " bytes"});
    fits = false;
  }
  if (!fits) return Outcome::kParameterTooLong;
  warnAboutConnectionFields(hostAddr, port);
  return saveRecord(config);
}

Outcome inLoadDbConfig(DbConfig& config) {
  const std::string path = quotedPath(kDbConfigPath);
  // Not blocking in open: a FIFO without a writer reads as empty below
  // instead of stopping the program.
  const FileDescriptor file{open(kDbConfigPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) {
    const int err = errno;
    tellCannot("open the settings file " + path, err);
    tellIfLink(kDbConfigPath);
    if (err == ENOENT) {
      tellHint({"db_init writes it; it is always read from the current directory"});
    }
    return Outcome::kOpenConfigFailed;
  }
  // A record is 180 bytes whose fields all end within their width; anything
  // after the record is ignored.
  const ssize_t got = clearNonBlocking(file.fd) ? readRecord(file.fd, config) : -1;
  const int err = errno;
  if (got < 0) {
    tellCannot("read the settings file " + path, err);
  } else if (static_cast<size_t>(got) < sizeof config) {
    tellError({"the settings file ", path, " is too short: ", std::to_string(got),
               " bytes of the ", std::to_string(sizeof config), " of a record"});
  } else if (const int bad = unterminatedField(config); bad >= 0) {
    const auto index = static_cast<size_t>(bad);
    const std::span<const char> field = fieldsOf(std::as_const(config))[index];
    const auto offset = static_cast<size_t>(field.data() - reinterpret_cast<const char*>(&config));
    tellError({"the settings file ", path, " is damaged: its ", kFieldNames[index],
               " field (offset ", std::to_string(offset), ", ", std::to_string(field.size()),
               " bytes) has no terminating zero byte"});
  } else {
    return Outcome::kSuccess;
  }
  if (got >= 0) tellHint({"db_init writes a new one"});
  return Outcome::kReadConfigFailed;
}
