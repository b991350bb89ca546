// A connect that failed, read from libpq's account of it written with
// verbose errors: the message as libpq writes it by default, the codes the
// server sent, and whether the socket failed for a reason that passes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ConnectAccount {
  std::string message;                  // libpq's default wording, line for line
  std::vector<std::string> serverStates;  // the SQLSTATE of each error the server sent, in order
  bool socketPasses = false;  // a server did not answer, refused or dropped the
                              // connection, or was not the kind the settings ask for
};

// Reads `verbose`, libpq's error message of a failed connect made with
// PQERRORS_VERBOSE. Each error the server sent starts "SEVERITY:  CODE: "
// on its line and ends with a LOCATION line; the code is taken from that
// place only, before any text of the server's (where a database or user
// name may stand), and the rest is read as libpq's own lines.
ConnectAccount readConnectFailure(std::string_view verbose);
