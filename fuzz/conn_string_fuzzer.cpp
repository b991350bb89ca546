// Fuzzes the connection-string builder (db/conn_string) with libpq's own
// parser as the judge.
//
// Input: zero-separated host address, port, user, password and database
// name. A value as long as its field or longer fills the field without a
// zero; a shorter one is followed by its zero and then by bytes that must
// not be read (quotes, blanks, backslashes, '='). Checked:
//  - the builder succeeds exactly when every field is terminated, and its
//    text fits kConnStringSize;
//  - PQconninfoParse reads back exactly the five values, empty ones left
//    out, plus the time-outs and the application name, and no other keyword;
//  - a buffer of exactly the text's size works, one byte less gives -1.

#include <libpq-fe.h>

#include <array>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "db/conn_string.h"
#include "fuzz/fuzz_support.h"

namespace {

using Settings = std::map<std::string, std::string>;

// A name that needs quoting, to check that it is quoted as well.
constexpr const char* kAppName = "lumet 'x'\\";

// Copies `value` into `field`; returns whether the field got its zero.
bool fillField(std::span<char> field, const std::string& value) {
  static constexpr char kAfter[] = "' \\=\"x";
  for (size_t i = 0; i < field.size(); ++i) {
    if (i < value.size()) field[i] = value[i];
    else if (i == value.size()) field[i] = '\0';
    else field[i] = kAfter[(i - value.size()) % (sizeof kAfter - 1)];
  }
  return value.size() < field.size();
}

int buildInto(const DbConfig& config, size_t size, std::string& text) {
  std::vector<char> out(size, 'x');
  const int rc = buildConnString(config, kAppName, out);
  if (rc == 0) {
    text = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(text.size() < size);
  }
  return rc;
}

Settings parsedByLibpq(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  if (options == nullptr) {
    (void)std::fprintf(stderr, "libpq refused [%s]: %s\n", conninfo.c_str(), error);
  }
  FUZZ_CHECK(options != nullptr);
  Settings parsed;
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val != nullptr) parsed[o->keyword] = o->val;
  }
  PQconninfoFree(options);
  PQfreemem(error);
  return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  std::vector<std::string> args = splitArguments(data, size);
  args.resize(5);
  DbConfig config{};
  bool terminated = fillField(config.szHostAddr, args[0]);
  terminated = fillField(config.szPort, args[1]) && terminated;
  terminated = fillField(config.szUser, args[2]) && terminated;
  terminated = fillField(config.szPassword, args[3]) && terminated;
  terminated = fillField(config.szDbName, args[4]) && terminated;

  std::string text;
  const int rc = buildInto(config, kConnStringSize, text);
  FUZZ_CHECK(rc == (terminated ? 0 : -1));
  if (!terminated) return 0;

  Settings expected = {{"connect_timeout", "5"},          {"keepalives", "1"},
                       {"keepalives_idle", "10"},         {"keepalives_interval", "5"},
                       {"keepalives_count", "3"},         {"tcp_user_timeout", "25000"},
                       {"fallback_application_name", kAppName}};
  const char* keywords[] = {"hostaddr", "port", "user", "password", "dbname"};
  for (size_t i = 0; i < 5; ++i) {
    if (!args[i].empty()) expected[keywords[i]] = args[i];
  }
  FUZZ_CHECK(parsedByLibpq(text) == expected);

  std::string again;
  FUZZ_CHECK(buildInto(config, text.size() + 1, again) == 0 && again == text);
  FUZZ_CHECK(buildInto(config, text.size(), again) == -1);
  return 0;
}
