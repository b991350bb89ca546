#include "util/numeric_address.h"

#include <arpa/inet.h>

#include <array>
#include <string>

bool isNumericAddress(std::string_view address) {
  const std::string text(address);
  std::array<unsigned char, sizeof(in6_addr)> binary{};
  return inet_pton(AF_INET, text.c_str(), binary.data()) == 1 ||
         inet_pton(AF_INET6, text.c_str(), binary.data()) == 1;
}
