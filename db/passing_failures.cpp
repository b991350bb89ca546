#include "db/passing_failures.h"

#include <string_view>

bool chunkFailurePasses(const DBFailure& failure) {
  const std::string_view state = failure.sqlState;
  if (state.empty()) return failure.connectionLost;
  // Class 08 raised inside the statement (dblink failing to reach another
  // server) leaves the tool's own connection as healthy as it was.
  if (state.starts_with("08")) return failure.connectionLost;
  return state == "57P01" || state == "57P02" || state == "57P03" || state == "40001";
}

bool connectStatePasses(std::string_view state) {
  return state.starts_with("08") || state == "53300" || state == "57P01" || state == "57P02" ||
         state == "57P03";
}

bool connectFailurePasses(const DBFailure& failure) {
  return connectStatePasses(failure.sqlState) || failure.connectionLost;
}
