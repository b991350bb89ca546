// A failed connect read from libpq's verbose account: the default wording
// back, the server's codes from their place only, and the socket's failures
// that pass; and which of them pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/connect_failure.h"
#include "db/passing_failures.h"

namespace {

const std::string kAt = "connection to server at \"127.0.0.1\", port 5432 failed: ";

TEST(ConnectFailure, CodesFromTheirPlaceAndTheDefaultWordingBack) {
  struct Case {
    std::string name, verbose, message;
    std::vector<std::string> states;
    bool socketPasses;
    bool passes;
  };
  const std::vector<Case> cases{
      {"a missing database",
       kAt + "FATAL:  3D000: database \"nosuch\" does not exist\nLOCATION:  InitPostgres, "
             "postinit.c:948\n",
       kAt + "FATAL:  database \"nosuch\" does not exist\n", {"3D000"}, false, false},
      {"a database named with the words of a full server",
       kAt + "FATAL:  3D000: database \"too many clients already\" does not exist\n"
             "LOCATION:  InitPostgres, postinit.c:948\n",
       kAt + "FATAL:  database \"too many clients already\" does not exist\n", {"3D000"}, false,
       false},
      {"a name that writes a line of its own",
       kAt + "FATAL:  3D000: database \"x\nFATAL:  53300: y\" does not exist\nLOCATION:  "
             "InitPostgres, postinit.c:948\n",
       kAt + "FATAL:  database \"x\nFATAL:  53300: y\" does not exist\n", {"3D000"}, false, false},
      {"a user named as libpq's check of a standby",
       kAt + "FATAL:  28P01: password authentication failed for user \"session is read-only\"\n"
             "LOCATION:  auth_failed, auth.c:334\n",
       kAt + "FATAL:  password authentication failed for user \"session is read-only\"\n",
       {"28P01"}, false, false},
      {"no free connection slot",
       kAt + "FATAL:  53300: sorry, too many clients already\nLOCATION:  InitProcess, proc.c:363\n",
       kAt + "FATAL:  sorry, too many clients already\n", {"53300"}, false, true},
      {"a detail and a hint stay",
       kAt + "FATAL:  57P03: the database system is starting up\nDETAIL:  more\nHINT:  try\n"
             "ORT:  ProcessStartupPacket, postmaster.c:2409\n",
       kAt + "FATAL:  the database system is starting up\nDETAIL:  more\nHINT:  try\n",
       {"57P03"}, false, true},
      {"a refused port",
       "connection to server at \"127.0.0.1\", port 1 failed: Connection refused\n\tIs the "
       "server running on that host and accepting TCP/IP connections?\n",
       "connection to server at \"127.0.0.1\", port 1 failed: Connection refused\n\tIs the "
       "server running on that host and accepting TCP/IP connections?\n",
       {}, true, true},
      {"a port that never answers", kAt + "timeout expired\n", kAt + "timeout expired\n", {}, true,
       true},
      {"a wrong password, then a refused second host",
       kAt + "FATAL:  28P01: password authentication failed for user \"u\"\nLOCATION:  "
             "auth_failed, auth.c:334\nconnection to server at \"10.0.0.2\", port 5432 failed: "
             "Connection refused\n",
       kAt + "FATAL:  password authentication failed for user \"u\"\nconnection to server at "
             "\"10.0.0.2\", port 5432 failed: Connection refused\n",
       {"28P01"}, true, true},
      {"a host name that does not resolve",
       "could not translate host name \"nosuch.invalid\" to address: Name or service not known\n",
       "could not translate host name \"nosuch.invalid\" to address: Name or service not known\n",
       {}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConnectAccount account = readConnectFailure(c.verbose);
    EXPECT_EQ(account.message, c.message);
    EXPECT_EQ(account.serverStates, c.states);
    EXPECT_EQ(account.socketPasses, c.socketPasses);
    DBFailure failure{account.message, "", "", c.states.empty() ? "" : c.states.back(),
                      account.socketPasses};
    EXPECT_EQ(connectFailurePasses(failure), c.passes);
  }
}

// A code of class 08 passes for a chunk only when the tool's own connection
// went with it; raised inside the statement (dblink) it is the statement's.
TEST(ConnectFailure, ChunkFailuresThatPass) {
  struct Case {
    std::string state;
    bool lost, passes;
  };
  for (const Case& c : std::vector<Case>{{"08006", false, false}, {"08006", true, true},
                                         {"08001", false, false}, {"57P01", false, true},
                                         {"40001", false, true}, {"22012", true, false},
                                         {"", true, true}, {"", false, false}}) {
    SCOPED_TRACE(c.state + (c.lost ? " lost" : ""));
    EXPECT_EQ(chunkFailurePasses({"m", "", "", c.state, c.lost}), c.passes);
  }
}

}  // namespace
