// Which failures pass: a server that restarts, fails over or ends sessions
// for reasons of its own, a network that drops the connection. A chunk
// that fails for one of them can run again on a new connection; a statement
// that is wrong fails the same way every time.
#pragma once

#include <string_view>

#include "db/db_access.h"

// True when a chunk failed for a reason that passes: the connection was
// lost (with a code of class 08, connection exception, or none), or the
// server ended the statement with 57P01, 57P02 or 57P03 (shutdown, crash,
// starting up) or 40001 (on a standby, a conflict with recovery; the
// chunks' READ ONLY transactions have no other serialization failures).
// Statement errors, statement_timeout and lock_timeout among them, do not.
bool chunkFailurePasses(const DBFailure& failure);

// True when a code the server refused a connection with passes: class 08,
// no free connection slot (53300), a server shutting down, crashed or
// starting up (57P01, 57P02, 57P03).
bool connectStatePasses(std::string_view state);

// True when connecting failed for a reason that passes: the server's code
// (failure.sqlState) passes, or libpq found no answer, a refused or dropped
// connection, or a server that is not yet the primary or standby the
// settings ask for (failure.connectionLost, as dbConnect sets it). A wrong
// password, database or certificate does not pass. Never decided by the
// text, in which a server, database or user name may stand.
bool connectFailurePasses(const DBFailure& failure);
