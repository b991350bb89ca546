// Fuzzes the settings-file reader (inLoadDbConfig) on files of any length
// and content, written into a scratch directory.
//
// Input: the file's bytes. Checked: the reader accepts exactly the files of
// at least 180 bytes whose five fields each hold a zero within their width;
// an accepted record is the file's first 180 bytes, unchanged, with every
// field terminated, and nothing is printed; anything else is refused with
// kReadConfigFailed and a reason on standard error, and nothing printed.
// dbConfigFieldsTerminated agrees with the same rule on the raw bytes.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "config/db_config.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kOffsets[] = {0, 21, 27, 78, 129};
constexpr size_t kWidths[] = {21, 6, 51, 51, 51};

// The rule on raw bytes: 180 of them, and a zero within every field.
bool isValidRecord(const unsigned char* data, size_t size) {
  if (size < sizeof(DbConfig)) return false;
  for (size_t i = 0; i < 5; ++i) {
    if (std::memchr(data + kOffsets[i], 0, kWidths[i]) == nullptr) return false;
  }
  return true;
}

void writeSettings(const unsigned char* data, size_t size) {
  const int fd = open("db_config.cfg", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  FUZZ_CHECK(close(fd) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  enterScratchDir({"db_config.cfg"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const bool valid = isValidRecord(data, size);

  // The check on a record in memory, padded with non-zero bytes when short.
  DbConfig raw{};
  std::memset(&raw, 0x5A, sizeof raw);
  std::memcpy(&raw, data, size < sizeof raw ? size : sizeof raw);
  if (size >= sizeof raw) FUZZ_CHECK(dbConfigFieldsTerminated(raw) == valid);

  writeSettings(data, size);
  DbConfig config{};
  std::memset(&config, 0xA5, sizeof config);
  Outcome loaded = Outcome::kSuccess;
  std::string told;
  const std::string printed = captureStdout([&] { loaded = inLoadDbConfig(config); }, &told);
  if (!valid) {
    FUZZ_CHECK(loaded == Outcome::kReadConfigFailed && printed.empty());
    FUZZ_CHECK(told.starts_with("lumettool: error: the settings file './db_config.cfg' is "));
    return 0;
  }
  FUZZ_CHECK(loaded == Outcome::kSuccess && printed.empty() && told.empty());
  FUZZ_CHECK(std::memcmp(&config, data, sizeof config) == 0);
  FUZZ_CHECK(dbConfigFieldsTerminated(config));
  return 0;
}
