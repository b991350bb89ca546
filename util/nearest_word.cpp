#include "util/nearest_word.h"

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kNoMatch = static_cast<size_t>(-1);

// How far `text` may be from a candidate to be taken for it.
size_t allowedDistance(std::string_view text) { return std::min<size_t>(3, text.size() / 3); }

// The distance at which `given` counts as near `candidate`, or kNoMatch.
size_t nearness(std::string_view given, std::string_view candidate) {
  if (given.size() >= 2 && candidate.starts_with(given)) return 0;
  size_t best = kNoMatch;
  // Longer by more than 3 bytes is out of reach as a whole.
  if (given.size() <= candidate.size() + 3) {
    const size_t d = editDistance(given, candidate);
    if (d <= allowedDistance(given)) best = d;
  }
  // A head that is the candidate itself is no misspelling: a command word
  // would have been taken, and an option must stand alone.
  if (given.size() > candidate.size()) {
    const std::string_view head = given.substr(0, candidate.size());
    const size_t d = editDistance(head, candidate);
    if (d > 0 && d <= allowedDistance(head)) best = std::min(best, d);
  }
  return best;
}

}  // namespace

size_t editDistance(std::string_view a, std::string_view b) {
  // Three rows of the table: two rows back, the previous and the current.
  const size_t width = b.size() + 1;
  std::vector<size_t> older(width);
  std::vector<size_t> previous(width);
  std::vector<size_t> current(width);
  for (size_t j = 0; j < width; ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j < width; ++j) {
      const size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], older[j - 2] + 1);
      }
    }
    older.swap(previous);
    previous.swap(current);
  }
  return previous[b.size()];
}

std::string_view nearestWord(std::string_view given, std::span<const std::string_view> candidates) {
  std::string_view nearest;
  size_t best = kNoMatch;
  for (const std::string_view candidate : candidates) {
    const size_t d = nearness(given, candidate);
    if (d < best) {
      best = d;
      nearest = candidate;
    }
  }
  return nearest;
}
