// Whether a text is a numeric IP address, the only kind of host address
// libpq's hostaddr takes (it looks no name up).
#pragma once

#include <string_view>

// True when `address` is a numeric IPv4 or IPv6 address.
bool isNumericAddress(std::string_view address);
