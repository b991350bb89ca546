#include "util/output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

void vdUseLargeOutputBuffer() {
  if (isatty(STDOUT_FILENO) != 0) return;
  static std::array<char, kOutputBufferSize> outputBuffer;
  // When this fails, output keeps the C library's buffer: smaller writes only.
  (void)std::setvbuf(stdout, outputBuffer.data(), _IOFBF, outputBuffer.size());
}

namespace {

int inFirstWriteErrno = 0;

int inOutputFailed() {
  if (inFirstWriteErrno == 0) inFirstWriteErrno = errno != 0 ? errno : EIO;
  return -1;
}

}  // namespace

int inPrintText(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    return inOutputFailed();
  }
  return std::ferror(stdout) != 0 ? inOutputFailed() : 0;
}

int inFinishOutput() {
  const bool flushed = std::fflush(stdout) == 0;
  return flushed && std::ferror(stdout) == 0 ? 0 : inOutputFailed();
}

int inOutputErrno() { return inFirstWriteErrno; }

int inFillStandardDescriptors() {
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

int inIgnoreBrokenPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  return sigemptyset(&action.sa_mask) == 0 && sigaction(SIGPIPE, &action, nullptr) == 0 ? 0 : -1;
}
