// The client encoding an export's session will have, as far as libpq's
// environment tells before connecting, and the check, once connected, that
// the field list and the condition were rewritten for the one it has.
//
// The field list and the condition are lower-cased and translated before
// connecting, so that every refusal comes before the settings file is read.
// In SJIS, BIG5, GBK, UHC, GB18030 and JOHAB that needs the encoding (see
// commands/condition.h), so it is taken from what libpq will ask the server
// for: PGCLIENTENCODING, which wins, or client_encoding in PGOPTIONS. Where
// neither names one the server chooses (the database's encoding, or a
// client_encoding set for the role, the database or the server), and the
// texts are rewritten as for UTF8, LATIN1 or EUC_JP, where an ASCII byte is
// always ASCII: what every ordinary setting gets, byte for byte as ever.
// PGCLIENTENCODING=auto follows the program's LC_CTYPE, which the tool
// leaves at C: SQL_ASCII. Whatever the guess, each chunk compares it with
// the encoding the session has before its statement is sent, and a field
// list or condition that would read differently there is refused.
#pragma once

#include <string>
#include <string_view>

#include "commands/condition.h"
#include "commands/export_settings.h"
#include "util/client_encoding.h"

struct ExpectedEncoding {
  ClientEncoding encoding = ClientEncoding::kAsciiSafe;
  // How the environment asks for it ("PGCLIENTENCODING 'SJIS'"); empty when
  // it does not and the server chooses.
  std::string asked;
};

// The client encoding libpq's environment, read through `lookup`, asks for.
ExpectedEncoding expectedClientEncoding(const EnvironmentLookup& lookup);

// The value PGOPTIONS-style `options` give client_encoding (-c name=value,
// -cname=value or --name=value, the last one winning), or "" for none.
std::string clientEncodingInOptions(std::string_view options);

// Why `fields` and `condition`, rewritten for `expected`, may not be sent in
// a session whose client encoding is named `session`: its characters split
// their bytes differently. Empty when they may.
QueryTextRefusal encodingMismatch(std::string_view fields, std::string_view condition,
                                  ClientEncoding expected, std::string_view asked,
                                  std::string_view session);
