#include "util/diagnostics.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "util/program_name.h"

namespace {

bool statusOnScreen = false;

void writeError(std::string_view text) {
  if (!text.empty()) (void)std::fwrite(text.data(), 1, text.size(), stderr);
}

// True when `line` starts with a label of libpq's ("DETAIL:  ", "HINT:  ",
// "CONTEXT:  ", the severity, or their translations): a word, a colon and
// two blanks.
bool hasServerLabel(std::string_view line) {
  const size_t colon = line.find(":  ");
  return colon != 0 && colon != std::string_view::npos &&
         line.substr(0, colon).find_first_of(" \t") == std::string_view::npos;
}

// `fromServer`: the text is libpq's, whose lines carry labels of their own.
void tell(std::string_view kind, std::initializer_list<std::string_view> pieces,
          bool fromServer = false) {
  (void)std::fflush(stdout);
  clearStatus();
  std::string text;
  for (const std::string_view piece : pieces) text += piece;
  // libpq's and the server's texts end with a newline of their own, and put
  // further lines after a newline and a tab: each becomes a detail line of
  // its own, so that every line says whose it is.
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string lines;
  std::string_view rest = text;
  for (bool first = true; first || !rest.empty(); first = false) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!first) {
      while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) line.remove_prefix(1);
    }
    lines += programName();
    lines += ": ";
    const bool labelled = fromServer && hasServerLabel(line);
    const std::string_view lineKind = first || labelled ? kind : "detail";
    if (!lineKind.empty()) {
      lines += lineKind;
      lines += ": ";
    }
    // Control bytes from a damaged settings file or the server are shown, not sent.
    for (const char c : line) lines += static_cast<unsigned char>(c) < 0x20 && c != '\t' ? '?' : c;
    lines += '\n';
  }
  writeError(lines);
}

}  // namespace

void tellError(std::initializer_list<std::string_view> pieces) { tell("error", pieces); }
void tellWarning(std::initializer_list<std::string_view> pieces) { tell("warning", pieces); }
void tellDetail(std::initializer_list<std::string_view> pieces) { tell("detail", pieces); }
void tellHint(std::initializer_list<std::string_view> pieces) { tell("hint", pieces); }
void tellServer(std::string_view message) { tell("", {message}, true); }

bool statusShown() {
  static const bool terminal = isatty(STDERR_FILENO) != 0;
  return terminal;
}

void showStatus(std::string_view text) {
  if (!statusShown()) return;
  // Back to the start of the line, the new text, the rest of the old erased.
  std::string line = "\r";
  line += text;
  line += "\033[K";
  writeError(line);
  statusOnScreen = true;
}

void clearStatus() {
  if (!statusOnScreen) return;
  writeError("\r\033[K");
  statusOnScreen = false;
}

std::string quoted(std::string_view text, size_t longest) {
  std::string shown = "'";
  for (const char c : text.substr(0, longest)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      std::array<char, 5> escaped{};
      (void)std::snprintf(escaped.data(), escaped.size(), "\\x%02X", byte);
      shown += escaped.data();
    }
  }
  shown += "'";
  if (text.size() > longest) shown += "...";
  return shown;
}

std::string systemError(int errnum) {
  std::array<char, 256> buffer{};
  // The GNU strerror_r returns the text, which may or may not be in buffer.
  return strerror_r(errnum, buffer.data(), buffer.size());
}
