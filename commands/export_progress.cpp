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
std::string durationText(Clock::duration duration) {
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

void showProgress(ExportProgress& progress) {
  const auto now = Clock::now();
  if (progress.everShown && now - progress.shown < kLeastInterval) return;
  const auto elapsed = now - progress.started;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const auto rate =
      seconds > 0.001 ? static_cast<long long>(static_cast<double>(progress.rowsSoFar) / seconds)
                      : 0LL;
  std::string left = "?";
  if (progress.chunksDone > 0) {
    left = durationText(elapsed / progress.chunksDone *
                        (progress.chunkCount - progress.chunksDone));
  }
  const std::string text =
      "chunk " + std::to_string(progress.currentChunk) + "/" +
      std::to_string(progress.chunkCount) + " " + isoText(progress.first) + ".." +
      isoText(progress.last) + ", " + std::to_string(progress.rowsSoFar) + " rows, " +
      std::to_string(rate) + " rows/s, " + durationText(elapsed) + " elapsed, " + left + " left";
  showStatus(text);
  progress.shown = now;
  progress.everShown = true;
}

}  // namespace

void progressBegins(ExportProgress& progress, int chunkCount) {
  progress = ExportProgress{};
  progress.started = Clock::now();
  progress.chunkCount = chunkCount > 0 ? chunkCount : 1;
}

void progressChunkStarts(ExportProgress& progress, Day first, Day last) {
  if (!statusShown()) return;
  ++progress.currentChunk;
  progress.first = first;
  progress.last = last;
  showProgress(progress);
}

void progressRowsArrived(ExportProgress& progress, int64_t rows) {
  if (!statusShown()) return;
  progress.rowsSoFar += rows;
  showProgress(progress);
}

void progressChunkEnds(ExportProgress& progress) {
  if (!statusShown()) return;
  ++progress.chunksDone;
  showProgress(progress);
}
