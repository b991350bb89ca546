// Appending text to a fixed buffer without ever overflowing it.
#pragma once

#include <cstring>
#include <span>
#include <string_view>

// Appends to `out`, keeping it zero-terminated. Text that would not fit with
// the terminating zero is refused and marks the buffer as overflowed; later
// appends are ignored, but still counted in `needed`, so that the caller can
// say how long the whole text would have been without building it twice.
struct TextBuffer {
  std::span<char> out;
  size_t used = 0;
  size_t needed = 0;  // bytes of everything appended, whether it fitted or not
  bool ok = true;

  explicit TextBuffer(std::span<char> buffer) : out(buffer), ok(!buffer.empty()) {
    if (ok) out[0] = '\0';
  }

  void put(std::string_view text) {
    needed += text.size();
    if (!ok || text.size() >= out.size() - used) {
      ok = false;
      return;
    }
    std::memcpy(out.data() + used, text.data(), text.size());
    used += text.size();
    out[used] = '\0';
  }
};
