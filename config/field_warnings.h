// What db_init warns about in the values it still writes as given: those
// every export would fail to connect with.
#pragma once

#include <string_view>

// Warns when `host` is neither empty nor a numeric IP address, and when
// `port` is neither empty nor a plain whole number in 1..65535, saying how
// libpq will read it.
void warnAboutConnectionFields(std::string_view host, std::string_view port);
