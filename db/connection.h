// What db_access.cpp and copy_out.cpp share: the accounts of a failure and
// the read-only transaction each chunk runs in.
#pragma once

#include <libpq-fe.h>

#include <string_view>

#include "db/session.h"

// libpq's own account of why the session's connection failed or was lost,
// with what the server said before it went away.
DBFailure libpqFailure(const DbSession& session);

// The server's account of why a statement failed ("ERROR:  text (SQLSTATE
// code)", its detail and hint), or libpq's when the server did not answer.
DBFailure statementFailure(const DbSession& session, const PGresult* result);

// How a wait for the server treats a stop signal.
enum class StopWait {
  kReturn,   // ends the wait at once (returns 1): the caller stops reading
  kBounded,  // cancels what runs and waits on, until kStopGrace after the stop
};

// Waits until more of the server's answer has been read in. Returns 0,
// 1 when a stop signal ended the wait (kReturn), -1 when the connection
// failed, or -2 when the server did not answer within the grace after a
// stop (the connection is then closed); `why` says why on -1 and -2.
int waitForServer(DbSession& session, DBFailure& why, StopWait mode);

// Reads the results of what was sent on the session, waiting as `mode`
// says, up to the end or to a COPY's rows (`copyStarted`). Returns 0, or -1
// with the first failure's reason in `why`.
int readResults(DbSession& session, DBFailure& why, StopWait mode, bool& copyStarted);

// Opens the read-only transaction a chunk runs in. Returns 0, or -1 and why.
int beginReadOnly(DbSession& session, DBFailure* why);

// Opens the same transaction as REPEATABLE READ, so that its snapshot can
// be shared: a new one when `snapshot` is empty, otherwise the one
// pg_export_snapshot() named so on another session; `more` are statements
// of the caller's (SET LOCAL) run after the settings, in the same round
// trip. Returns 0, or -1 and why.
int beginSnapshot(DbSession& session, std::string_view snapshot, std::string_view more,
                  DBFailure* why);

// Ends it. Returns 0, or -1 and why. A rollback that went through is 0
// even when the advisory locks could not be released after it; why they
// could not is then in session.unlockFailure.
int endReadOnly(DbSession& session, DBFailure* why);

// Sends the end without waiting for its answer (session.endPending).
// Returns 0, or -1 and why when it could not be sent.
int sendEndReadOnly(DbSession& session, DBFailure* why);

// Reads the answer to the end sent by sendEndReadOnly, when one is
// pending, waiting as runCommand does; judged as endReadOnly judges it.
// Returns 0 (also when none was pending), or -1 and why.
int readPendingEnd(DbSession& session, DBFailure* why);
