#include "db/passing_failures.h"

#include <algorithm>
#include <array>
#include <string_view>

bool chunkFailurePasses(const DBFailure& failure) {
  const std::string_view state = failure.sqlState;
  if (state.empty()) return failure.connectionLost;
  // Class 08 raised inside the statement (dblink failing to reach another
  // server) leaves the tool's own connection as healthy as it was.
  if (state.starts_with("08")) return failure.connectionLost;
  return state == "57P01" || state == "57P02" || state == "57P03" || state == "40001";
}

bool connectFailurePasses(const DBFailure& failure) {
  constexpr std::array<std::string_view, 20> kPassing{
      // The network and libpq.
      "Connection refused", "timeout expired", "No route to host", "Network is unreachable",
      "Connection reset by peer", "Connection timed out",
      "server closed the connection unexpectedly", "could not receive data from server",
      "could not send data to server",
      // A failover under way (target_session_attrs).
      "server is in hot standby mode", "server is not in hot standby mode", "session is read-only",
      "session is not read-only",
      // The server: 53300 and 57P03.
      "too many clients already", "remaining connection slots are reserved",
      "the database system is starting up", "the database system is shutting down",
      "the database system is in recovery mode",
      "the database system is not yet accepting connections",
      "the database system is not accepting connections"};
  const std::string_view message = failure.message;
  return std::any_of(kPassing.begin(), kPassing.end(), [message](std::string_view text) {
    return message.find(text) != std::string_view::npos;
  });
}
