#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <array>
#include <map>
#include <string>

#include "db/conn_string.h"

namespace {

using Settings = std::map<std::string, std::string>;

template <size_t N>
void put(std::array<char, N>& field, const std::string& value) {
  value.copy(field.data(), N - 1);
}

// What every connection string ends with: the time-outs and the name.
const std::string kTail =
    "connect_timeout=5 keepalives=1 keepalives_idle=10 keepalives_interval=5 "
    "keepalives_count=3 tcp_user_timeout=25000 fallback_application_name=lumettool-2.0";

std::string connStringOf(const DbConfig& config) {
  std::array<char, kConnStringSize> out{};
  EXPECT_EQ(buildConnString(config, "lumettool-2.0", out), 0);
  return out.data();
}

// The keywords libpq reads from `conninfo`, with their values.
Settings parsedByLibpq(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  Settings parsed;
  if (options == nullptr) ADD_FAILURE() << "libpq refused " << conninfo << ": " << error;
  for (const PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
    if (o->val != nullptr) parsed[o->keyword] = o->val;
  }
  PQconninfoFree(options);
  PQfreemem(error);
  return parsed;
}

}  // namespace

TEST(ConnString, WritesPlainValuesAndLeavesOutEmptyOnes) {
  EXPECT_EQ(connStringOf({{"10.0.0.5"}, {"5432"}, {"lumet"}, {"s3cret"}, {"sales"}}),
            "hostaddr=10.0.0.5 port=5432 user=lumet password=s3cret dbname=sales " + kTail);
  EXPECT_EQ(connStringOf({{"10.0.0.5"}, {}, {}, {}, {"sales"}}),
            "hostaddr=10.0.0.5 dbname=sales " + kTail);
  // Nothing for host, port, TLS or the session's target: libpq's environment decides.
  EXPECT_EQ(connStringOf({}), kTail);
  EXPECT_EQ(connStringOf({{}, {}, {}, {"it's me"}, {}}), "password='it\\'s me' " + kTail);

  DbConfig config{{"10.0.0.5"}, {"5432"}, {"lumet"}, {"s3cret"}, {"sales"}};
  std::array<char, 16> small{};
  EXPECT_EQ(buildConnString(config, "lumettool", small), -1);
  config.szPort.fill('5');  // no terminating zero
  std::array<char, kConnStringSize> out{};
  EXPECT_EQ(buildConnString(config, "lumettool", out), -1);
}

TEST(ConnString, LibpqReadsBackEveryValueExactly) {
  const std::string passwords[] = {"a b", "it's", "back\\slash", "x dbname=evil", "'", "\\",
                                   "tab\there", "\"dq\"", "k=v", "x'\\ '", std::string(50, '\\')};
  // Longest fields, the user and the database name needing quotes as well.
  const std::string host = "2001:db8:0:0:0:0:0:1";
  const std::string user(50, '\'');
  const std::string dbName = "db " + std::string(47, 'n');
  for (const std::string& password : passwords) {
    DbConfig config{};
    put(config.szHostAddr, host);
    put(config.szPort, "65535");
    put(config.szUser, user);
    put(config.szPassword, password);
    put(config.szDbName, dbName);
    const Settings expected = {{"hostaddr", host},
                               {"port", "65535"},
                               {"user", user},
                               {"password", password},
                               {"dbname", dbName},
                               {"connect_timeout", "5"},
                               {"keepalives", "1"},
                               {"keepalives_idle", "10"},
                               {"keepalives_interval", "5"},
                               {"keepalives_count", "3"},
                               {"tcp_user_timeout", "25000"},
                               {"fallback_application_name", "lumettool-2.0"}};
    EXPECT_EQ(parsedByLibpq(connStringOf(config)), expected) << password;
  }
}
