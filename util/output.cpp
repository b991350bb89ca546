#include "util/output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "util/stop_signals.h"

void useLargeOutputBuffer() {
  if (isatty(STDOUT_FILENO) != 0) return;
  static std::array<char, kOutputBufferSize> outputBuffer;
  // When this fails, output keeps the C library's buffer: smaller writes only.
  (void)std::setvbuf(stdout, outputBuffer.data(), _IOFBF, outputBuffer.size());
}

namespace {

int firstWriteErrno = 0;

int noteOutputFailure() {
  if (firstWriteErrno == 0) firstWriteErrno = errno != 0 ? errno : EIO;
  return -1;
}

}  // namespace

int printText(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    return noteOutputFailure();
  }
  return std::ferror(stdout) != 0 ? noteOutputFailure() : 0;
}

int finishOutput() {
  const bool flushed = std::fflush(stdout) == 0;
  // A write past the C library (writeToDescriptor) that failed counts too.
  return flushed && std::ferror(stdout) == 0 && firstWriteErrno == 0 ? 0 : noteOutputFailure();
}

int outputErrno() { return firstWriteErrno; }

int writeToDescriptor(int fd, std::string_view bytes, uint64_t& written) {
  using Clock = std::chrono::steady_clock;
  // After a stop, small writes: one that fits the room a pipe reports
  // does not block again.
  constexpr size_t kAfterStop = 4096;
  Clock::time_point giveUpAt{};
  while (!bytes.empty()) {
    size_t want = bytes.size();
    if (stopSignal() != 0) {
      if (giveUpAt == Clock::time_point{}) giveUpAt = Clock::now() + kStopGrace;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUpAt - Clock::now());
      pollfd room{fd, POLLOUT, 0};
      if (left.count() <= 0 || poll(&room, 1, static_cast<int>(left.count())) <= 0) {
        errno = EINTR;
        return fd == STDOUT_FILENO ? noteOutputFailure() : -1;
      }
      want = std::min(want, kAfterStop);
    }
    const ssize_t done = write(fd, bytes.data(), want);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = EIO;
      return fd == STDOUT_FILENO ? noteOutputFailure() : -1;
    }
    written += static_cast<uint64_t>(done);
    bytes.remove_prefix(static_cast<size_t>(done));
  }
  return 0;
}

int fillStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open, so this one is the lowest free one.
    const int opened = open("/dev/null", fd == STDOUT_FILENO ? O_RDONLY : O_RDWR);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return -1;
    }
  }
  return 0;
}

int ignoreBrokenPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  return sigemptyset(&action.sa_mask) == 0 && sigaction(SIGPIPE, &action, nullptr) == 0 ? 0 : -1;
}

OutputStart outputStart() {
  struct stat status {};
  if (fstat(STDOUT_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return {};
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  if (flags != -1 && (flags & O_APPEND) != 0) {
    return {true, static_cast<uint64_t>(status.st_size)};
  }
  const off_t offset = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  return {offset >= 0, offset >= 0 ? static_cast<uint64_t>(offset) : 0};
}

bool outputDiscarded() {
  struct stat out {};
  struct stat null {};
  if (fstat(STDOUT_FILENO, &out) != 0 || !S_ISCHR(out.st_mode) || stat("/dev/null", &null) != 0 ||
      !S_ISCHR(null.st_mode) || out.st_rdev != null.st_rdev) {
    return false;
  }
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

bool errorsShareOutput() {
  struct stat out {};
  struct stat err {};
  return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
         out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}
