// The libpq connection string made from the settings record.
#pragma once

#include <span>
#include <string_view>

#include "config/db_config.h"

// Large enough for every record: five keywords, each value fully quoted and
// escaped, the time-outs and the application name.
inline constexpr int kConnStringSize = 1024;

// How long the connection waits before it gives up on a silent server: the
// connect time-out (per host), then TCP keepalive probes after this many idle
// seconds, this far apart and this many of them, and the most that sent data
// may stay unacknowledged. A peer that goes silent (a dropped link, a NAT or
// firewall that forgot the connection, a host that lost power) is noticed
// within kSilentPeerSeconds, while a server that is busy with a long statement
// answers the probes from its TCP stack and is left to work.
inline constexpr int kConnectTimeoutSeconds = 5;
inline constexpr int kKeepalivesIdleSeconds = 10;
inline constexpr int kKeepalivesIntervalSeconds = 5;
inline constexpr int kKeepalivesCount = 3;
inline constexpr int kSilentPeerSeconds =
    kKeepalivesIdleSeconds + kKeepalivesIntervalSeconds * kKeepalivesCount;
static_assert(kSilentPeerSeconds < 60, "a dead network must end an export within a minute");

// Writes "hostaddr=... port=... user=... password=... dbname=... ", the
// time-outs above (connect_timeout, keepalives..., tcp_user_timeout) and
// fallback_application_name into `out`, leaving out
// empty fields; what it leaves out comes from libpq's environment (PGHOST,
// PGPORT, PGSSLMODE, PGTARGETSESSIONATTRS, PGAPPNAME...), which nothing here
// overrides. A value that libpq would otherwise split or unescape (blank,
// quote, backslash) is written in single quotes with ' and \ escaped, so it
// arrives unchanged and never adds a keyword. Returns 0, or -1 when `out` is
// too small or a field is not terminated within its width.
int buildConnString(const DbConfig& config, std::string_view applicationName, std::span<char> out);
