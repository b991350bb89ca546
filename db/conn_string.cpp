#include "db/conn_string.h"

#include <string_view>

#include "util/text_buffer.h"

namespace {

bool boNeedsQuotes(std::string_view value) {
  return value.find_first_of(" \t\n\r\f\v'\\") != std::string_view::npos;
}

void vdPutValue(TextBuffer& app, std::string_view value) {
  if (!boNeedsQuotes(value)) {
    app.vdPut(value);
    return;
  }
  app.vdPut("'");
  for (const char c : value) {
    if (c == '\'' || c == '\\') app.vdPut("\\");
    app.vdPut(std::string_view(&c, 1));
  }
  app.vdPut("'");
}

void vdPutSetting(TextBuffer& app, std::string_view keyword, std::span<const char> field) {
  const std::string_view value(field.data(), strnlen(field.data(), field.size()));
  if (value.empty()) return;
  app.vdPut(keyword);
  vdPutValue(app, value);
  app.vdPut(" ");
}

}  // namespace

int inBuildConnString(const DbConfig& config, std::span<char> out) {
  TextBuffer app(out);
  if (!boDbConfigFieldsTerminated(config)) return -1;
  vdPutSetting(app, "hostaddr=", config.szHostAddr);
  vdPutSetting(app, "port=", config.szPort);
  vdPutSetting(app, "user=", config.szUser);
  vdPutSetting(app, "password=", config.szPassword);
  vdPutSetting(app, "dbname=", config.szDbName);
  app.vdPut("connect_timeout=5");
  return app.ok ? 0 : -1;
}
