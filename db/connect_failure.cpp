#include "db/connect_failure.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {

bool isCodeByte(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

bool isNameByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// Where "CODE: " starts after the first ":  " of `line` that a code follows.
size_t codeAt(std::string_view line) {
  for (size_t at = line.find(":  "); at != std::string_view::npos; at = line.find(":  ", at + 1)) {
    const size_t code = at + 3;
    if (code + 7 > line.size()) return std::string_view::npos;
    bool ok = line[code + 5] == ':' && line[code + 6] == ' ';
    for (size_t i = code; ok && i < code + 5; ++i) ok = isCodeByte(line[i]);
    if (ok) return code;
  }
  return std::string_view::npos;
}

// "LOCATION:  routine, file.c:123" in any language: the label, two blanks,
// a C name, ", ", a file name without blanks, ':' and a line number.
bool isLocationLine(std::string_view line) {
  const size_t colon = line.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == line.size()) return false;
  for (size_t i = colon + 1; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  const size_t comma = line.rfind(", ", colon);
  if (comma == std::string_view::npos) return false;
  for (size_t i = comma + 2; i < colon; ++i) {
    if (line[i] == ' ') return false;
  }
  const size_t label = line.rfind(":  ", comma);
  if (label == std::string_view::npos || label + 3 == comma) return false;
  for (size_t i = label + 3; i < comma; ++i) {
    if (!isNameByte(line[i])) return false;
  }
  return true;
}

// libpq's own words for a connection the network or the server's state
// ended, at the end of its line: the socket's errors and libpq's checks of
// target_session_attrs.
bool endsPassing(std::string_view line) {
  static const std::array<std::string, 11> kEndings{
      std::strerror(ECONNREFUSED), std::strerror(ETIMEDOUT), std::strerror(EHOSTUNREACH),
      std::strerror(ENETUNREACH), std::strerror(ECONNRESET), std::strerror(EPIPE),
      "timeout expired",
      "server closed the connection unexpectedly", "is in hot standby mode",
      "is not in hot standby mode", "read-only"};
  return std::any_of(kEndings.begin(), kEndings.end(),
                     [line](const std::string& ending) { return line.ends_with(ending); });
}

}  // namespace

ConnectAccount readConnectFailure(std::string_view verbose) {
  ConnectAccount account;
  bool inServerError = false;
  for (size_t start = 0; start < verbose.size();) {
    const size_t newline = verbose.find('\n', start);
    const size_t end = newline == std::string_view::npos ? verbose.size() : newline;
    const std::string_view line = verbose.substr(start, end - start);
    const std::string_view ending = verbose.substr(end, newline == std::string_view::npos ? 0 : 1);
    start = end + ending.size();
    if (inServerError) {
      // The server's lines run to its LOCATION line, which the default
      // wording leaves out.
      if (isLocationLine(line)) {
        inServerError = false;
      } else {
        account.message.append(line).append(ending);
      }
      continue;
    }
    if (const size_t code = codeAt(line); code != std::string_view::npos) {
      account.serverStates.emplace_back(line.substr(code, 5));
      account.message.append(line.substr(0, code)).append(line.substr(code + 7)).append(ending);
      inServerError = true;
      continue;
    }
    if (endsPassing(line)) account.socketPasses = true;
    account.message.append(line).append(ending);
  }
  return account;
}
