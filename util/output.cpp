#include "util/output.h"

#include <unistd.h>

#include <cstdio>

void vdUseLargeOutputBuffer() {
  static char outputBuffer[kOutputBufferSize];
  if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
}

int inPrintText(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return -1;
  return std::ferror(stdout) != 0 ? -1 : 0;
}

int inFinishOutput() {
  const bool flushed = std::fflush(stdout) == 0;
  return flushed && std::ferror(stdout) == 0 ? 0 : -1;
}
