#include "config/field_warnings.h"

#include <string>

#include "util/diagnostics.h"
#include "util/int_arg.h"
#include "util/numeric_address.h"
#include "util/text.h"

namespace {

constexpr std::string_view kFailsAlways =
    ", so every export will fail to connect; the settings are written as given";

// libpq reads the port with strtol and allows blanks around it: what is left
// must be a whole number, then one in 1..65535, or it connects nowhere.
void warnAboutPort(std::string_view port) {
  std::string_view digits = port;
  while (!digits.empty() && isAsciiSpace(digits.front())) digits.remove_prefix(1);
  while (!digits.empty() && isAsciiSpace(digits.back())) digits.remove_suffix(1);
  const std::string shown = "the port " + quoted(port);
  if (!isWholeNumber(digits)) {
    tellWarning({shown, " is not a whole number: libpq refuses it (invalid integer value)",
                   kFailsAlways});
    return;
  }
  const int number = atoiClamped(digits);
  if (number < 1 || number > 65535) {
    tellWarning({shown, " is outside 1..65535: libpq refuses it (invalid port number)",
                   kFailsAlways});
  } else if (digits.size() != port.size()) {
    tellWarning({shown, " has blanks around it; libpq reads it as ", std::to_string(number)});
  }
}

}  // namespace

void warnAboutConnectionFields(std::string_view host, std::string_view port) {
  // Empty fields are left to libpq's environment (PGHOST, PGPORT) and its defaults.
  if (!host.empty() && !isNumericAddress(host)) {
    tellWarning({"the host address ", quoted(host),
                   " is not a numeric IP address: libpq looks no name up for it",
                   kFailsAlways});
    tellHint({"leave the host address empty and put the host name in PGHOST"});
  }
  if (!port.empty()) warnAboutPort(port);
}
