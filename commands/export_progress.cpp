#include "commands/export_progress.h"

#include <array>
#include <cstdio>
#include <string>

#include "util/diagnostics.h"

namespace {

using Clock = std::chrono::steady_clock;

// Updates closer together than this are skipped: a terminal is not a log.
constexpr auto kLeastInterval = std::chrono::milliseconds(250);

// "m:ss", or "h:mm:ss" from an hour on.
std::string sDuration(Clock::duration duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  std::array<char, 32> text{};
  if (seconds >= 3600) {
    (void)std::snprintf(text.data(), text.size(), "%lld:%02lld:%02lld",
                        static_cast<long long>(seconds / 3600),
                        static_cast<long long>(seconds / 60 % 60),
                        static_cast<long long>(seconds % 60));
  } else {
    (void)std::snprintf(text.data(), text.size(), "%lld:%02lld",
                        static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
  }
  return text.data();
}

void vdShow(ExportProgress& progress) {
  const auto now = Clock::now();
  if (progress.boEverShown && now - progress.shown < kLeastInterval) return;
  const auto elapsed = now - progress.started;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const auto rate = seconds > 0.001 ? static_cast<long long>(static_cast<double>(progress.llRows) / seconds) : 0LL;
  std::string left = "?";
  if (progress.inDone > 0) {
    left = sDuration(elapsed / progress.inDone * (progress.inChunks - progress.inDone));
  }
  std::string text = "chunk " + std::to_string(progress.inCurrent) + "/" +
                     std::to_string(progress.inChunks) + " " + isoText(progress.first) + ".." +
                     isoText(progress.last) + ", " + std::to_string(progress.llRows) + " rows, " +
                     std::to_string(rate) + " rows/s, " + sDuration(elapsed) + " elapsed, " +
                     left + " left";
  showStatus(text);
  progress.shown = now;
  progress.boEverShown = true;
}

}  // namespace

void vdProgressBegin(ExportProgress& progress, int inChunks) {
  progress = ExportProgress{};
  progress.started = Clock::now();
  progress.inChunks = inChunks > 0 ? inChunks : 1;
}

void vdProgressChunkStarts(ExportProgress& progress, Day first, Day last) {
  if (!statusShown()) return;
  ++progress.inCurrent;
  progress.first = first;
  progress.last = last;
  vdShow(progress);
}

void progressRowsArrived(ExportProgress& progress, int64_t rows) {
  if (!statusShown()) return;
  progress.llRows += rows;
  vdShow(progress);
}

void progressChunkEnds(ExportProgress& progress) {
  if (!statusShown()) return;
  ++progress.inDone;
  vdShow(progress);
}
