#include "db/conn_string.h"

#include <arpa/inet.h>

#include <array>
#include <string>
#include <charconv>
#include <string_view>

#include "util/text_buffer.h"

namespace {

bool boNeedsQuotes(std::string_view value) {
  return value.find_first_of(" \t\n\r\f\v'\\") != std::string_view::npos;
}

void vdPutValue(TextBuffer& app, std::string_view value) {
  if (!boNeedsQuotes(value)) {
    app.put(value);
    return;
  }
  app.put("'");
  for (const char c : value) {
    if (c == '\'' || c == '\\') app.put("\\");
    app.put(std::string_view(&c, 1));
  }
  app.put("'");
}

void vdPutSetting(TextBuffer& app, std::string_view keyword, std::span<const char> field) {
  const std::string_view value(field.data(), strnlen(field.data(), field.size()));
  if (value.empty()) return;
  app.put(keyword);
  vdPutValue(app, value);
  app.put(" ");
}

void vdPutNumber(TextBuffer& app, std::string_view keyword, int value) {
  std::array<char, 16> digits{};
  // Sixteen bytes hold any int, so to_chars cannot fail here.
  const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  app.put(keyword);
  app.put(std::string_view(digits.data(), static_cast<size_t>(end - digits.data())));
}

}  // namespace

int inBuildConnString(const DbConfig& config, std::string_view applicationName,
                      std::span<char> out) {
  TextBuffer app(out);
  if (!boDbConfigFieldsTerminated(config)) return -1;
  vdPutSetting(app, "hostaddr=", config.szHostAddr);
  vdPutSetting(app, "port=", config.szPort);
  vdPutSetting(app, "user=", config.szUser);
  vdPutSetting(app, "password=", config.szPassword);
  vdPutSetting(app, "dbname=", config.szDbName);
  vdPutNumber(app, "connect_timeout=", kConnectTimeoutSeconds);
  app.put(" keepalives=1");
  vdPutNumber(app, " keepalives_idle=", kKeepalivesIdleSeconds);
  vdPutNumber(app, " keepalives_interval=", kKeepalivesIntervalSeconds);
  vdPutNumber(app, " keepalives_count=", kKeepalivesCount);
  vdPutNumber(app, " tcp_user_timeout=", kSilentPeerSeconds * 1000);
  app.put(" fallback_application_name=");
  vdPutValue(app, applicationName);
  return app.ok ? 0 : -1;
}

bool boIsNumericAddress(std::string_view address) {
  const std::string text(address);
  std::array<unsigned char, sizeof(in6_addr)> binary{};
  return inet_pton(AF_INET, text.c_str(), binary.data()) == 1 ||
         inet_pton(AF_INET6, text.c_str(), binary.data()) == 1;
}
