// Throughput of decoding COPY's rows into the export's lines, next to a
// plain memcpy of the same bytes, for rows without a backslash (the common
// case) and rows with escapes in most of them; then of spooling them, in
// memory and through a temporary file in $TMPDIR (/tmp when unset), as the
// export does.
//   g++ -O2 -std=c++20 -I. -o /tmp/copy_rows bench/copy_rows.cpp build/liblumet.a -lpq
//   /tmp/copy_rows [ROWS]    (default 3000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/export_settings.h"
#include "commands/output_format.h"
#include "util/spool.h"

namespace {

std::vector<std::string> makeRows(size_t count, bool escaped) {
  std::vector<std::string> rows;
  rows.reserve(count);
  for (size_t n = 0; n < count; ++n) {
    std::string row = std::to_string(n) + "|2024-03-04 10:11:12.123456|" +
                      std::to_string(n % 99991) + ".25|settled|card|";
    row += escaped && n % 4 != 0 ? "C:\\\\shop\\\\till 7\\ttotal\\|net|\\N\n"
                                 : "shop till 7 net total of the day|memo|\n";
    rows.push_back(std::move(row));
  }
  return rows;
}

template <typename Step>
void timed(const char* what, const std::vector<std::string>& rows, Step step) {
  size_t bytes = 0;
  for (const std::string& row : rows) bytes += row.size();
  const auto start = std::chrono::steady_clock::now();
  size_t check = 0;
  for (const std::string& row : rows) check += step(row);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%-34s %8.0f MB/s  %6.1f ns/row  (%zu)\n", what,
              static_cast<double>(bytes) / 1e6 / took.count(),
              took.count() * 1e9 / static_cast<double>(rows.size()), check);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 3000000;
  std::vector<char> out(1 << 20);
  const std::string spoolDirectory = exportSettingsFromEnvironment().spoolDirectory;
  for (const bool escaped : {false, true}) {
    const std::vector<std::string> rows = makeRows(count, escaped);
    std::printf("%s rows (%zu):\n", escaped ? "escaped" : "plain", count);
    timed("  memcpy", rows, [&](const std::string& row) {
      std::memcpy(out.data(), row.data(), row.size());
      return static_cast<size_t>(out[0]);
    });
    timed("  decodeCopyRow", rows, [&](const std::string& row) {
      return decodeCopyRow(row, out.data(), ClientEncoding::kAsciiSafe).length;
    });
    timed("  decodeCopyRow, SJIS", rows, [&](const std::string& row) {
      return decodeCopyRow(row, out.data(), ClientEncoding::kSjis).length;
    });
    for (const bool spill : {false, true}) {
      Spool spool(spoolDirectory);
      size_t breaking = 0;
      size_t since = 0;
      std::string copy;
      timed(spill ? "  spoolCopyRow, one file" : "  spoolCopyRow, reset every 4 MB", rows,
            [&](const std::string& row) {
              copy = row;
              if (!spoolCopyRow(spool, copy, OutputFormat::kText, ClientEncoding::kAsciiSafe,
                                breaking)) std::exit(1);
              if (!spill && (since += row.size()) > kSpoolMemory / 2) {
                spoolReset(spool);
                since = 0;
              }
              return size_t{1};
            });
      std::printf("  values that break the lines: %zu\n", breaking);
    }
  }
  return 0;
}
