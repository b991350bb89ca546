#include "util/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

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
  return flushed && std::ferror(stdout) == 0 ? 0 : noteOutputFailure();
}

int outputErrno() { return firstWriteErrno; }

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
