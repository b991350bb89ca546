#include "util/resumable_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <utility>
#include <vector>

#include "util/diagnostics.h"

namespace {

constexpr std::string_view kFormat = "lumettool export checkpoint ";
constexpr std::string_view kVersion = "1";
// Far past any real checkpoint, whose longest value is one argument.
constexpr off_t kLongestCheckpoint = off_t{1} << 20;
// How often PATH.part is opened again when it was renamed away under us.
constexpr int kLockTries = 16;

std::string quotedPath(std::string_view path) { return quoted(path, PATH_MAX); }

bool failWith(ResumableFile& file, const std::string& what, int errnum) {
  file.reason = what + ": " + systemError(errnum != 0 ? errnum : EIO);
  return false;
}

bool plainName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.';
  });
}

// "LENGTH VALUE\n"
void addValue(std::string& text, std::string_view value) {
  text += std::to_string(value.size());
  text += ' ';
  text += value;
  text += '\n';
}

std::string checkpointText(uint64_t complete, std::string_view nextDay,
                           std::string_view identity) {
  std::string text(kFormat);
  text += kVersion;
  text += "\ncomplete ";
  text += std::to_string(complete);
  text += "\nnext ";
  addValue(text, nextDay);
  text += identity;
  text += "end\n";
  return text;
}

using Field = std::pair<std::string_view, std::string_view>;

struct Checkpoint {
  uint64_t complete = 0;
  std::string_view next;
  std::vector<Field> fields;  // name and value, pointing into the text read
};

const Field* findField(const std::vector<Field>& fields, std::string_view name) {
  const auto found = std::find_if(fields.begin(), fields.end(),
                                  [name](const Field& field) { return field.first == name; });
  return found == fields.end() ? nullptr : &*found;
}

bool takeText(std::string_view& rest, std::string_view expected) {
  if (!rest.starts_with(expected)) return false;
  rest.remove_prefix(expected.size());
  return true;
}

bool takeNumber(std::string_view& rest, uint64_t& number) {
  const char* end = rest.data() + rest.size();
  const auto [stop, failure] = std::from_chars(rest.data(), end, number);
  if (failure != std::errc()) return false;
  rest.remove_prefix(static_cast<size_t>(stop - rest.data()));
  return true;
}

bool takeValue(std::string_view& rest, std::string_view& value) {
  uint64_t length = 0;
  if (!takeNumber(rest, length) || !takeText(rest, " ") || length >= rest.size()) return false;
  value = rest.substr(0, static_cast<size_t>(length));
  rest.remove_prefix(static_cast<size_t>(length));
  return takeText(rest, "\n");
}

bool takeName(std::string_view& rest, std::string_view& name) {
  const size_t space = rest.find(' ');
  if (space == std::string_view::npos) return false;
  name = rest.substr(0, space);
  rest.remove_prefix(space + 1);
  return plainName(name);
}

// Reads a checkpoint's text; returns why it cannot be used, empty when it can.
std::string parseCheckpoint(std::string_view text, Checkpoint& checkpoint) {
  std::string_view rest = text;
  if (!takeText(rest, kFormat)) return "is not a lumettool checkpoint";
  const std::string_view version = rest.substr(0, rest.find('\n'));
  if (version != kVersion) {
    return "is of version " + quoted(version) + ", which this lumettool does not read";
  }
  rest.remove_prefix(version.size());
  if (takeText(rest, "\ncomplete ") && takeNumber(rest, checkpoint.complete) &&
      takeText(rest, "\nnext ") && takeValue(rest, checkpoint.next)) {
    for (;;) {
      if (rest == "end\n") return {};
      Field field;
      if (!takeText(rest, "field ") || !takeName(rest, field.first) ||
          findField(checkpoint.fields, field.first) != nullptr || !takeValue(rest, field.second)) {
        break;
      }
      checkpoint.fields.push_back(field);
    }
  }
  return "is damaged at byte " + std::to_string(text.size() - rest.size());
}

// Each field whose value differs from the checkpoint's, or that only one
// side has; empty when they agree.
std::string identityDifferences(std::span<const IdentityField> identity,
                                const Checkpoint& checkpoint) {
  std::string differences;
  const auto add = [&differences](std::string_view name, const std::string& there,
                                  const std::string& now) {
    if (!differences.empty()) differences += "; ";
    differences += name;
    differences += ' ' + there + " there, " + now + " now";
  };
  for (const IdentityField& field : identity) {
    const Field* recorded = findField(checkpoint.fields, field.name);
    if (recorded == nullptr) {
      add(field.name, "none", quoted(field.value));
    } else if (recorded->second != field.value) {
      add(field.name, quoted(recorded->second), quoted(field.value));
    }
  }
  for (const Field& recorded : checkpoint.fields) {
    const bool known = std::any_of(identity.begin(), identity.end(), [&recorded](const auto& f) {
      return f.name == recorded.first;
    });
    if (!known) add(recorded.first, quoted(recorded.second), "none");
  }
  return differences;
}

// Opens PATH.part read-write, making it with mode 0600 when there is none
// (`created`).
int openPart(const std::string& name, bool& created) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  created = true;
  const int fd = open(name.c_str(), kFlags | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
  if (fd >= 0 || errno != EEXIST) return fd;
  created = false;
  return open(name.c_str(), kFlags);
}

bool lockRefused(ResumableFile& file, int err) {
  if (err != EWOULDBLOCK) return failWith(file, "cannot lock " + quotedPath(file.partPath), err);
  file.busy = true;
  file.reason = "another run is writing " + quotedPath(file.partPath) + " (it holds its lock)";
  return false;
}

// Opens and locks PATH.part. The lock is on the file, not on its name: once
// it is held, the name must still stand for the file locked, else the run
// that held it has just renamed it to PATH, and the new PATH.part is opened
// in its place.
bool lockPart(ResumableFile& file, bool& created) {
  const std::string& name = file.partPath;
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    FileDescriptor part{openPart(name, created)};
    if (part.fd < 0) {
      if (!created && errno == ENOENT) continue;  // renamed away between the two opens
      return failWith(file, "cannot open " + quotedPath(name), errno);
    }
    struct stat opened {};
    if (fstat(part.fd, &opened) != 0) {
      return failWith(file, "cannot read the status of " + quotedPath(name), errno);
    }
    if (!S_ISREG(opened.st_mode)) {
      file.reason = quotedPath(name) + " is not a regular file";
      return false;
    }
    if (flock(part.fd, LOCK_EX | LOCK_NB) != 0) return lockRefused(file, errno);
    struct stat named {};
    if (lstat(name.c_str(), &named) != 0 && errno != ENOENT) {
      return failWith(file, "cannot read the status of " + quotedPath(name), errno);
    }
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) continue;
    if (!clearNonBlocking(part.fd)) {
      return failWith(file, "cannot set the flags of " + quotedPath(name), errno);
    }
    std::swap(file.part.fd, part.fd);
    return true;
  }
  file.reason = quotedPath(name) + " was replaced " + std::to_string(kLockTries) +
                " times while it was being locked";
  return false;
}

// Reads the checkpoint's file into `text`; `present` false when there is none.
bool readCheckpointFile(ResumableFile& file, bool& present, std::string& text) {
  const std::string where = quotedPath(file.checkpointPath);
  const FileDescriptor in{open(file.checkpointPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  present = in.fd >= 0;
  if (!present) return errno == ENOENT || failWith(file, "cannot open the checkpoint " + where, errno);
  struct stat status {};
  if (fstat(in.fd, &status) != 0) return failWith(file, "cannot read the checkpoint " + where, errno);
  if (!S_ISREG(status.st_mode)) {
    file.reason = "the checkpoint " + where + " is not a regular file";
    return false;
  }
  text.resize(static_cast<size_t>(std::min(status.st_size, kLongestCheckpoint + 1)));
  const ssize_t got = readFully(in.fd, text);
  if (got < 0) return failWith(file, "cannot read the checkpoint " + where, errno);
  text.resize(static_cast<size_t>(got));
  return true;
}

bool removeCheckpoint(ResumableFile& file) {
  if (unlink(file.checkpointPath.c_str()) != 0 && errno != ENOENT) {
    return failWith(file, "cannot remove the checkpoint " + quotedPath(file.checkpointPath),
                    errno);
  }
  return true;
}

bool flushDirectory(ResumableFile& file) {
  return fsync(file.directory.fd) == 0 ||
         failWith(file, "cannot flush the directory " + quotedPath(directoryOf(file.path)) +
                            " to disk",
                  errno);
}

// Truncates PATH.part to `size` and puts the descriptor at its end.
bool cutTo(ResumableFile& file, uint64_t size) {
  const auto offset = static_cast<off_t>(size);
  if (ftruncate(file.part.fd, offset) != 0 || lseek(file.part.fd, offset, SEEK_SET) != offset) {
    return failWith(file,
                    "cannot cut " + quotedPath(file.partPath) + " back to its " +
                        std::to_string(size) + " complete bytes",
                    errno);
  }
  file.committed = size;
  return true;
}

// Replaces the checkpoint; returns the step of replaceFile that failed,
// kDone when none did.
ReplaceStep writeCheckpoint(ResumableFile& file, uint64_t complete, std::string_view nextDay) {
  const std::string text = checkpointText(complete, nextDay, file.identity);
  const ReplaceResult result = replaceFile(file.checkpointPath, text, nullptr);
  const char* step = "";
  switch (result.failed) {
    case ReplaceStep::kDone: return result.failed;
    case ReplaceStep::kFollowLinks: step = "following its symbolic links"; break;
    case ReplaceStep::kOpenDirectory: step = "opening its directory"; break;
    case ReplaceStep::kCreate: step = "creating a new file beside it"; break;
    case ReplaceStep::kKeepOwner: step = "giving the new file its owner"; break;
    case ReplaceStep::kMakePrivate: step = "making the new file private"; break;
    case ReplaceStep::kWrite: step = "writing the new file"; break;
    case ReplaceStep::kFlush: step = "flushing the new file to disk"; break;
    case ReplaceStep::kClose: step = "closing the new file"; break;
    case ReplaceStep::kRename: step = "renaming the new file over it"; break;
    case ReplaceStep::kFlushDirectory: step = "flushing its directory to disk"; break;
  }
  const int err = result.failed == ReplaceStep::kWrite && result.err == 0 ? ENOSPC : result.err;
  (void)failWith(file, "cannot write the checkpoint " + quotedPath(file.checkpointPath) + " (" +
                          step + ")",
                 err);
  return result.failed;
}

}  // namespace

bool resumableOpen(ResumableFile& file, const std::string& path,
                   std::span<const IdentityField> identity) {
  file.path = path;
  if (!followLinks(file.path)) {
    return failWith(file, "cannot follow the symbolic link " + quotedPath(file.path), errno);
  }
  file.partPath = file.path + ".part";
  file.checkpointPath = file.partPath + ".checkpoint";
  for (const IdentityField& field : identity) {
    if (!plainName(field.name) ||
        std::count_if(identity.begin(), identity.end(),
                      [&field](const auto& f) { return f.name == field.name; }) != 1) {
      file.reason = "the export's identity has a field named " + quoted(field.name) +
                    ", which is not a plain word used once";
      return false;
    }
    file.identity += "field ";
    file.identity += field.name;
    file.identity += ' ';
    addValue(file.identity, field.value);
  }
  const std::string directory = directoryOf(file.path);
  file.directory.fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (file.directory.fd < 0) {
    return failWith(file, "cannot open the directory " + quotedPath(directory), errno);
  }

  bool created = false;
  bool present = false;
  std::string text;
  if (!lockPart(file, created) || !readCheckpointFile(file, present, text)) return false;
  struct stat status {};
  if (fstat(file.part.fd, &status) != 0) {
    return failWith(file, "cannot read the status of " + quotedPath(file.partPath), errno);
  }
  const auto size = static_cast<uint64_t>(status.st_size);

  std::string why;
  if (present) {
    Checkpoint checkpoint;
    why = parseCheckpoint(text, checkpoint);
    if (why.empty()) {
      const std::string differences = identityDifferences(identity, checkpoint);
      if (!differences.empty()) {
        why = "was made by another export: " + differences;
      } else if (checkpoint.complete > size) {
        why = "names " + std::to_string(checkpoint.complete) + " complete bytes, but " +
              quotedPath(file.partPath) + " holds " + std::to_string(size);
      } else {
        file.nextDay = checkpoint.next;
        file.resumeFrom = checkpoint.next;
        return cutTo(file, checkpoint.complete);
      }
    }
    why = "its checkpoint " + quotedPath(file.checkpointPath) + " " + why;
  } else if (size > 0) {
    why = "it holds " + std::to_string(size) + " bytes but has no checkpoint " +
          quotedPath(file.checkpointPath);
  }
  if (!why.empty()) file.warning = quotedPath(file.partPath) + " is started afresh: " + why;

  // The old checkpoint goes first, and for good, so that it can never be
  // paired with the new rows.
  if (present && (!removeCheckpoint(file) || !flushDirectory(file))) return false;
  if (created && fchmod(file.part.fd, S_IRUSR | S_IWUSR) != 0) {
    return failWith(file, "cannot make " + quotedPath(file.partPath) + " private (mode 0600)",
                    errno);
  }
  return cutTo(file, 0);
}

bool resumableCommit(ResumableFile& file, std::string_view nextDay) {
  struct stat status {};
  if (fsync(file.part.fd) != 0) {
    return failWith(file, "cannot flush " + quotedPath(file.partPath) + " to disk", errno);
  }
  if (fstat(file.part.fd, &status) != 0) {
    return failWith(file, "cannot read the status of " + quotedPath(file.partPath), errno);
  }
  const auto size = static_cast<uint64_t>(status.st_size);
  const ReplaceStep failed = writeCheckpoint(file, size, nextDay);
  // Renamed into place but not flushed: the new checkpoint stands (or, after
  // a crash, the old one), and the bytes it names are on disk either way.
  if (failed == ReplaceStep::kDone || failed == ReplaceStep::kFlushDirectory) {
    file.committed = size;
    file.nextDay = nextDay;
  }
  return failed == ReplaceStep::kDone;
}

bool resumableCutBack(ResumableFile& file) { return cutTo(file, file.committed); }

bool resumableFinish(ResumableFile& file) {
  struct stat status {};
  if (fstat(file.part.fd, &status) != 0) {
    return failWith(file, "cannot read the status of " + quotedPath(file.partPath), errno);
  }
  if (static_cast<uint64_t>(status.st_size) != file.committed) {
    file.reason = quotedPath(file.partPath) + " holds " + std::to_string(status.st_size) +
                  " bytes, of which " + std::to_string(file.committed) + " are complete";
    return false;
  }
  if (fsync(file.part.fd) != 0) {
    return failWith(file, "cannot flush " + quotedPath(file.partPath) + " to disk", errno);
  }
  if (!removeCheckpoint(file)) return false;
  if (rename(file.partPath.c_str(), file.path.c_str()) != 0) {
    const int err = errno;
    const bool kept = file.nextDay.empty() ||
                      writeCheckpoint(file, file.committed, file.nextDay) == ReplaceStep::kDone;
    (void)failWith(file, "cannot rename " + quotedPath(file.partPath) + " to " + quotedPath(file.path),
             err);
    if (!kept) file.reason += "; its checkpoint could not be written again";
    return false;
  }
  file.finished = true;
  if (!flushDirectory(file)) {
    file.reason += "; " + quotedPath(file.path) + " is complete but may not survive a crash";
    return false;
  }
  return true;
}
