#include "db/conn_string.h"

#include <array>
#include <charconv>
#include <string_view>

#include "util/text_buffer.h"

namespace {

bool needsQuotes(std::string_view value) {
  return value.find_first_of(" \t\n\r\f\v'\\") != std::string_view::npos;
}

void putValue(TextBuffer& conninfo, std::string_view value) {
  if (!needsQuotes(value)) {
    conninfo.put(value);
    return;
  }
  conninfo.put("'");
  for (const char c : value) {
    if (c == '\'' || c == '\\') conninfo.put("\\");
    conninfo.put(std::string_view(&c, 1));
  }
  conninfo.put("'");
}

void putSetting(TextBuffer& conninfo, std::string_view keyword, std::span<const char> field) {
  const std::string_view value(field.data(), strnlen(field.data(), field.size()));
  if (value.empty()) return;
  conninfo.put(keyword);
  putValue(conninfo, value);
  conninfo.put(" ");
}

void putNumber(TextBuffer& conninfo, std::string_view keyword, int value) {
  std::array<char, 16> digits{};
  // Sixteen bytes hold any int, so to_chars cannot fail here.
  const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  conninfo.put(keyword);
  conninfo.put(std::string_view(digits.data(), static_cast<size_t>(end - digits.data())));
}

}  // namespace

int buildConnString(const DbConfig& config, std::string_view applicationName, std::span<char> out) {
  TextBuffer conninfo(out);
  if (!dbConfigFieldsTerminated(config)) return -1;
  putSetting(conninfo, "hostaddr=", config.szHostAddr);
  putSetting(conninfo, "port=", config.szPort);
  putSetting(conninfo, "user=", config.szUser);
  putSetting(conninfo, "password=", config.szPassword);
  putSetting(conninfo, "dbname=", config.szDbName);
  putNumber(conninfo, "connect_timeout=", kConnectTimeoutSeconds);
  conninfo.put(" keepalives=1");
  putNumber(conninfo, " keepalives_idle=", kKeepalivesIdleSeconds);
  putNumber(conninfo, " keepalives_interval=", kKeepalivesIntervalSeconds);
  putNumber(conninfo, " keepalives_count=", kKeepalivesCount);
  putNumber(conninfo, " tcp_user_timeout=", kSilentPeerSeconds * 1000);
  conninfo.put(" fallback_application_name=");
  putValue(conninfo, applicationName);
  return conninfo.ok ? 0 : -1;
}
