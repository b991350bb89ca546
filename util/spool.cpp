#include "util/spool.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "util/diagnostics.h"
#include "util/output.h"
#include "util/stop_signals.h"

namespace {

bool failWith(Spool& spool, std::string_view what, int errnum) {
  if (spool.reason.empty()) {
    // What it takes to hold the chunk: the directory, the space it had
    // needed so far, and what to change.
    spool.reason = std::string(what) + " in " + quoted(spool.directory, PATH_MAX) + " (TMPDIR) after " +
                   std::to_string((spool.filed + spool.buffered) / (uint64_t{1024} * 1024)) +
                   " MiB of the chunk: " + systemError(errnum != 0 ? errnum : EIO);
  }
  return false;
}

// A failure of the output written straight into.
bool failOutput(Spool& spool, int errnum) {
  if (spool.reason.empty()) {
    spool.reason = "cannot write the chunk's rows: " + systemError(errnum != 0 ? errnum : EIO);
    spool.outputFailed = true;
  }
  return false;
}

// O_TMPFILE leaves no name behind even for a moment; file systems without
// it get a named file that is unlinked at once.
int openTempFile(const std::string& dir) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC | O_EXCL, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string name = dir + "/lumettool-XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) (void)unlink(name.c_str());
  return fd;
}

bool writeAll(int fd, const char* bytes, size_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t done = pwrite(fd, bytes, n, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = ENOSPC;
      return false;
    }
    bytes += done;
    n -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

// Sends what is buffered to the file, creating it first when needed, or
// to the output written straight into.
bool flushToFile(Spool& spool) {
  if (spool.straightTo >= 0) {
    uint64_t written = 0;
    if (writeToDescriptor(spool.straightTo, std::string_view(spool.buffer.get(), spool.buffered),
                          written) != 0) {
      return failOutput(spool, errno);
    }
    spool.filed += spool.buffered;
    spool.buffered = 0;
    return true;
  }
  if (spool.fd < 0) {
    spool.fd = openTempFile(spool.directory);
    if (spool.fd < 0) return failWith(spool, "cannot create a temporary file", errno);
  }
  if (!writeAll(spool.fd, spool.buffer.get(), spool.buffered, spool.filed)) {
    return failWith(spool, "cannot write the chunk's rows to a temporary file", errno);
  }
  spool.filed += spool.buffered;
  spool.buffered = 0;
  return true;
}

// Hands the file to `out` inside the kernel, without reading it back
// through the buffer: a large chunk costs one copy less, and little more
// than nothing when the output is /dev/null. Stops at the first refusal (an
// O_APPEND file, a terminal, a full disk) or stop signal: the caller goes on
// from `written` with plain writes, which also tell why output failed.
void sendFileOut(const Spool& spool, int out, uint64_t& written) {
  while (written < spool.filed) {
    auto offset = static_cast<off_t>(written);
    const auto want =
        static_cast<size_t>(std::min<uint64_t>(size_t{1} << 30, spool.filed - written));
    const ssize_t sent = sendfile(out, spool.fd, &offset, want);
    if (sent < 0 && errno == EINTR && stopSignal() == 0) continue;
    if (sent <= 0) return;
    written += static_cast<uint64_t>(sent);
  }
}

}  // namespace

Spool::~Spool() {
  if (fd >= 0) (void)close(fd);
}

bool spoolWrite(Spool& spool, std::string_view bytes) {
  if (!spool.reason.empty()) return false;
  if (!spool.buffer) {
    spool.buffer.reset(new (std::nothrow) char[spool.memory]);
    if (!spool.buffer) {
      spool.reason = "cannot set aside memory for the chunk's rows";
      return false;
    }
  }
  if (bytes.size() > spool.memory - spool.buffered) {
    if (!flushToFile(spool)) return false;
    // Too long for the buffer: straight to the file.
    if (bytes.size() >= spool.memory) {
      if (spool.straightTo >= 0) {
        uint64_t written = 0;
        if (writeToDescriptor(spool.straightTo, bytes, written) != 0) {
          return failOutput(spool, errno);
        }
      } else if (!writeAll(spool.fd, bytes.data(), bytes.size(), spool.filed)) {
        return failWith(spool, "cannot write the chunk's rows to a temporary file", errno);
      }
      spool.filed += bytes.size();
      return true;
    }
  }
  if (!bytes.empty()) std::memcpy(spool.buffer.get() + spool.buffered, bytes.data(), bytes.size());
  spool.buffered += bytes.size();
  return true;
}

uint64_t spoolSize(const Spool& spool) { return spool.filed + spool.buffered; }

const std::string& spoolReason(const Spool& spool) { return spool.reason; }

SpoolOut spoolOut(Spool& spool) {
  // What is pending from before comes first.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    (void)finishOutput();  // remembers why
    return {SpoolOutFault::kOutput, 0};
  }
  return spoolOutTo(spool, STDOUT_FILENO);
}

SpoolOut spoolOutTo(Spool& spool, int out) {
  SpoolOut written;
  if (spool.straightTo >= 0) {
    // Most of the chunk is there already: the rest joins it.
    const uint64_t before = spool.filed;
    if (!flushToFile(spool)) {
      written.fault = SpoolOutFault::kOutput;
      written.written = before;
      return written;
    }
    written.written = spool.filed;
    return written;
  }
  if (spool.fd < 0) {
    if (writeToDescriptor(out, std::string_view(spool.buffer.get(), spool.buffered),
                          written.written) != 0) {
      written.fault = SpoolOutFault::kOutput;
    }
    return written;
  }
  // The tail joins the file, so that the buffer is free to read it back.
  if (!flushToFile(spool)) {
    written.fault = SpoolOutFault::kSpool;
    return written;
  }
  sendFileOut(spool, out, written.written);
  while (written.written < spool.filed) {
    const auto want =
        static_cast<size_t>(std::min<uint64_t>(kSpoolMemory, spool.filed - written.written));
    const ssize_t got =
        pread(spool.fd, spool.buffer.get(), want, static_cast<off_t>(written.written));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      (void)failWith(spool, "cannot read the chunk's rows back from a temporary file",
                     got == 0 ? EIO : errno);
      written.fault = SpoolOutFault::kSpool;
      return written;
    }
    if (writeToDescriptor(out, std::string_view(spool.buffer.get(), static_cast<size_t>(got)),
                          written.written) != 0) {
      written.fault = SpoolOutFault::kOutput;
      return written;
    }
  }
  return written;
}

void spoolWriteStraightTo(Spool& spool, int out) { spool.straightTo = out; }

bool spoolCutBack(Spool& spool) {
  if (spool.straightTo < 0) return true;
  spool.buffered = 0;
  spool.filed = 0;
  return ftruncate(spool.straightTo, static_cast<off_t>(spool.chunkStart)) == 0 &&
         lseek(spool.straightTo, static_cast<off_t>(spool.chunkStart), SEEK_SET) >= 0;
}

void spoolReset(Spool& spool) {
  spool.buffered = 0;
  spool.filed = 0;
  spool.reason.clear();
  spool.outputFailed = false;
  if (spool.straightTo >= 0) {
    // The chunk starts at the end of what is there: where the next write
    // lands, whether or not the file was opened for appending.
    struct stat status {};
    const int flags = fcntl(spool.straightTo, F_GETFL);
    const off_t at = flags != -1 && (flags & O_APPEND) != 0
                         ? (fstat(spool.straightTo, &status) == 0 ? status.st_size : -1)
                         : lseek(spool.straightTo, 0, SEEK_CUR);
    spool.chunkStart = at >= 0 ? static_cast<uint64_t>(at) : 0;
  }
  // A file that cannot be emptied is dropped; the next chunk that needs
  // one makes another.
  if (spool.fd >= 0 && ftruncate(spool.fd, 0) != 0) {
    (void)close(spool.fd);
    spool.fd = -1;
  }
}
