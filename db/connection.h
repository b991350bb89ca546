// What db_access.cpp and copy_out.cpp share: the accounts of a failure and
// the read-only transaction each chunk runs in.
#pragma once

#include <libpq-fe.h>

#include "db/session.h"

// libpq's own account of why the session's connection failed or was lost,
// with what the server said before it went away.
DBFailure libpqFailure(const DbSession& session);

// The server's account of why a statement failed ("ERROR:  text (SQLSTATE
// code)", its detail and hint), or libpq's when the server did not answer.
DBFailure statementFailure(const DbSession& session, const PGresult* result);

// Opens the read-only transaction a chunk runs in. Returns 0, or -1 and why.
int beginReadOnly(DbSession& session, DBFailure* why);

// Ends it. Returns 0, or -1 and why.
int endReadOnly(DbSession& session, DBFailure* why);
