// Helpers shared by the fuzz targets: the check macro, splitting an input
// into arguments, capturing standard output and standard error, and a
// private working directory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Stops the run with a message when a property does not hold; libFuzzer
// then saves the input that broke it. A call rather than a branch in every
// caller, so that the checks add nothing to the callers' control flow.
inline void fuzzCheck(bool holds, const char* file, int line, const char* condition) {
  if (holds) return;
  (void)std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  __builtin_trap();
}

#define FUZZ_CHECK(cond) fuzzCheck(static_cast<bool>(cond), __FILE__, __LINE__, #cond)

// The input as zero-separated arguments, the way they would arrive in argv:
// "a\0b" is {"a", "b"}. Always at least one (possibly empty) argument.
inline std::vector<std::string> splitArguments(const unsigned char* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  return args;
}

// A mutable zero-terminated copy, for functions that change their argument.
inline std::vector<char> mutableCopy(std::string_view text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  return copy;
}

inline std::string tempBase() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr && *base != '\0' ? base : "/tmp";
}

// Descriptors for capturing standard output or standard error: a scratch
// file under $TMPDIR, unlinked at once, and a copy of the real descriptor.
struct CaptureFds {
  int scratch = -1;
  int saved = -1;
};

inline CaptureFds makeCapture(int fd) {
  CaptureFds made;
  std::string name = tempBase() + "/lumet-fuzz-out-XXXXXX";
  made.scratch = mkstemp(name.data());
  FUZZ_CHECK(made.scratch >= 0);
  (void)unlink(name.c_str());
  made.saved = dup(fd);
  FUZZ_CHECK(made.saved >= 0);
  return made;
}

// Made once for each of the two.
inline const CaptureFds& captureFds(int fd) {
  static const CaptureFds out = makeCapture(STDOUT_FILENO);
  static const CaptureFds err = makeCapture(STDERR_FILENO);
  return fd == STDERR_FILENO ? err : out;
}

inline void redirectToScratch(int fd) {
  FUZZ_CHECK(ftruncate(captureFds(fd).scratch, 0) == 0 &&
             lseek(captureFds(fd).scratch, 0, SEEK_SET) == 0);
  FUZZ_CHECK(dup2(captureFds(fd).scratch, fd) >= 0);
}

// Puts `fd` back and returns what was written to it meanwhile.
inline std::string restoreAndRead(int fd) {
  FUZZ_CHECK(dup2(captureFds(fd).saved, fd) >= 0);
  const int scratchFd = captureFds(fd).scratch;
  std::string written;
  char chunk[4096];
  FUZZ_CHECK(lseek(scratchFd, 0, SEEK_SET) == 0);
  for (;;) {
    const ssize_t n = read(scratchFd, chunk, sizeof chunk);
    FUZZ_CHECK(n >= 0);
    if (n == 0) break;
    written.append(chunk, static_cast<size_t>(n));
  }
  return written;
}

// Runs `action` with standard output and standard error going to scratch
// files and returns what it wrote to standard output; what it told on
// standard error goes to `err` when given, so that no reason floods the
// fuzzer's own output.
template <typename F>
std::string captureStdout(F action, std::string* err = nullptr) {
  FUZZ_CHECK(std::fflush(stdout) == 0);
  redirectToScratch(STDOUT_FILENO);
  redirectToScratch(STDERR_FILENO);
  action();
  const bool flushed = std::fflush(stdout) == 0;
  const std::string told = restoreAndRead(STDERR_FILENO);
  FUZZ_CHECK(flushed);
  std::string written = restoreAndRead(STDOUT_FILENO);
  std::clearerr(stdout);
  if (err != nullptr) *err = told;
  return written;
}

// Moves the process into a new empty directory under $TMPDIR (or /tmp) and
// removes it, with the named files in it, when the process exits normally.
inline void enterScratchDir(std::vector<std::string> leftovers) {
  static std::string dir;
  static std::vector<std::string> files;
  dir = tempBase() + "/lumet-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir.data()) != nullptr);
  FUZZ_CHECK(chdir(dir.c_str()) == 0);
  files = std::move(leftovers);
  const auto cleanUp = [] {
    for (const std::string& name : files) {
      std::string path = dir;
      path += '/';
      path += name;
      (void)unlink(path.c_str());
    }
    (void)rmdir(dir.c_str());
  };
  FUZZ_CHECK(std::atexit(cleanUp) == 0);
}
