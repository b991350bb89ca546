// The connection settings record and its file, ./db_config.cfg.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "util/outcome.h"

// Five zero-terminated text fields laid end to end: the file holds exactly
// this record, byte for byte, with no header.
struct DbConfig {
  std::array<char, 21> szHostAddr;
  std::array<char, 6> szPort;
  std::array<char, 51> szUser;
  std::array<char, 51> szPassword;
  std::array<char, 51> szDbName;
};

static_assert(sizeof(DbConfig) == 180, "the settings file format is 180 bytes");
static_assert(std::is_standard_layout_v<DbConfig> && std::is_trivially_copyable_v<DbConfig>);
static_assert(offsetof(DbConfig, szPort) == 21 && offsetof(DbConfig, szUser) == 27 &&
              offsetof(DbConfig, szPassword) == 78 && offsetof(DbConfig, szDbName) == 129);

inline constexpr const char* kDbConfigPath = "./db_config.cfg";

// Handler of `db_init`: stores the five settings in ./db_config.cfg. A
// regular file (or none) is replaced at once by a new one of mode 0600, so a
// failed run leaves the old file whole; anything else (a device, a FIFO with
// a reader) is written through and kept.
Outcome vdDbInit(const char* hostAddr, const char* port, const char* user, const char* password,
                 const char* dbName);

// Fills `config` from ./db_config.cfg. Returns kSuccess, or
// kOpenConfigFailed or kReadConfigFailed after telling why.
Outcome inLoadDbConfig(DbConfig& config);

// True when each field of `config` ends with a zero byte within its width.
bool dbConfigFieldsTerminated(const DbConfig& config);
