#include "commands/libpq_export_io.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "db/db_access.h"
#include "util/diagnostics.h"
#include "util/output.h"
#include "util/stop_signals.h"

int LibpqExportIo::connect(DBFailure& why) { return dbConnect(sessions_[0], config_, &why); }

void LibpqExportIo::disconnect() {
  // The last chunk's end is answered here.
  for (DbSession& session : sessions_) {
    dbDisconnect(session);
    tellUnlockFailure(session);
  }
}

bool LibpqExportIo::connectedAsSuperuser(std::string& role) {
  return dbConnectedAsSuperuser(sessions_[0], role);
}

std::string LibpqExportIo::clientEncoding() { return dbClientEncoding(sessions_[0]); }

namespace {

// Which relation `transaction` is, resolved through the search path as the
// statement resolves it, its schema, the search path's first schema and the
// type of its datetime column (a domain's base type decides). Every name
// of the server's own is written with its schema. The subquery makes a
// missing table or column fail with the server's own words, as the
// statement would.
constexpr const char* kTableLookUp =
    "SELECT n.nspname, pg_catalog.format_type(a.atttypid, a.atttypmod), "
    "CASE WHEN t.typtype OPERATOR(pg_catalog.=) 'd' THEN t.typbasetype ELSE t.oid END, "
    "(pg_catalog.current_schemas(false))[1] "
    "FROM pg_catalog.pg_attribute a "
    "JOIN pg_catalog.pg_class c ON c.oid OPERATOR(pg_catalog.=) a.attrelid "
    "JOIN pg_catalog.pg_namespace n ON n.oid OPERATOR(pg_catalog.=) c.relnamespace "
    "JOIN pg_catalog.pg_type t ON t.oid OPERATOR(pg_catalog.=) a.atttypid "
    "WHERE a.attrelid OPERATOR(pg_catalog.=) 'transaction'::pg_catalog.regclass "
    "AND a.attname OPERATOR(pg_catalog.=) 'datetime' "
    "AND NOT EXISTS (SELECT datetime FROM transaction WHERE false)";

// date, timestamp and timestamptz.
constexpr std::array<std::string_view, 3> kDayBoundTypes{"1082", "1114", "1184"};

std::string cell(DBData& data, int column) {
  vdDBGetData(0, column, data);
  return data.pszValue != nullptr ? std::string(data.pszValue, static_cast<size_t>(data.inValueLen))
                                  : std::string();
}

}  // namespace

int LibpqExportIo::lookUpTable(TableFacts& facts, DBFailure& why) {
  DBData data;
  if (dbQuery(sessions_[0], kTableLookUp, false, data, {}, &why) != 0) {
    vdDBClearData(data);
    if (why.message.empty()) why = {"the look-up of the table was not answered", "", "", "", true};
    return -1;
  }
  if (data.inRowCount != 1) {
    vdDBClearData(data);
    why = {"the table transaction has no column datetime", "", "", "", false};
    return -1;
  }
  facts.schema = cell(data, 0);
  facts.datetimeType = cell(data, 1);
  const std::string type = cell(data, 2);
  facts.datetimeDays =
      std::find(kDayBoundTypes.begin(), kDayBoundTypes.end(), type) != kDayBoundTypes.end();
  facts.firstSchema = cell(data, 3);
  vdDBClearData(data);
  return 0;
}

int LibpqExportIo::copyRow(std::span<char>& row, DBFailure& why) {
  return dbCopyRow(sessions_[0], row, why);
}

namespace {

DbSession& sessionOf(std::array<DbSession, kMostSessions>& sessions, int reader) {
  return sessions.at(static_cast<size_t>(reader));
}

}  // namespace

int LibpqExportIo::connectReader(int reader, DBFailure& why) {
  DbSession& session = sessionOf(sessions_, reader);
  return dbConnected(session) ? 0 : dbConnect(session, config_, &why);
}

int LibpqExportIo::copyBeginOn(int reader, const char* sql, DBFailure& why) {
  // The previous chunk's end is answered before the BEGIN is sent.
  DbSession& session = sessionOf(sessions_, reader);
  const int begun = dbCopyBegin(session, sql, why);
  tellUnlockFailure(session);
  return begun;
}

int LibpqExportIo::copyEndOn(int reader, DBFailure& why) {
  DbSession& session = sessionOf(sessions_, reader);
  const int ended = dbCopyEnd(session, why);
  tellUnlockFailure(session);
  return ended;
}

void LibpqExportIo::tellUnlockFailure(DbSession& session) {
  // A role that may not release advisory locks: the chunk was rolled back
  // and counts, and the operator hears of it once.
  if (!session.unlockFailure.message.empty() && !unlockTold_) {
    unlockTold_ = true;
    tellWarning({"the session's advisory locks could not be released after a chunk: ",
                 session.unlockFailure.message});
    tellHint({"the chunks go on, each rolled back; a lock a condition takes stays with the "
              "session until it ends; GRANT EXECUTE ON FUNCTION "
              "pg_catalog.pg_advisory_unlock_all() to the role to release them"});
  }
  session.unlockFailure = {};
}

int LibpqExportIo::beginShared(int reader, std::string_view snapshot, std::string_view settings,
                               DBFailure& why) {
  DbSession& session = sessionOf(sessions_, reader);
  const int begun = dbBeginShared(session, snapshot, settings, why);
  tellUnlockFailure(session);
  return begun;
}

int LibpqExportIo::queryValue(int reader, const std::string& sql, std::string& value,
                              DBFailure& why) {
  DBData data;
  const int done = dbQuery(sessionOf(sessions_, reader), sql.c_str(), false, data, {}, &why);
  value = done == 0 && data.inRowCount > 0 ? cell(data, 0) : std::string();
  vdDBClearData(data);
  return done;
}

int LibpqExportIo::copyStartOn(int reader, const char* sql, DBFailure& why) {
  return dbCopyStart(sessionOf(sessions_, reader), sql, why);
}

int LibpqExportIo::copyRowIfIn(int reader, std::span<char>& row, DBFailure& why) {
  return dbCopyRowIfIn(sessionOf(sessions_, reader), row, why);
}

void LibpqExportIo::waitForRows(std::span<const int> readers) {
  std::array<DbSession*, kMostSessions> watched{};
  size_t count = 0;
  for (const int reader : readers) {
    if (count < watched.size()) watched.at(count++) = &sessionOf(sessions_, reader);
  }
  dbWaitForAny(std::span<DbSession* const>(watched.data(), count));
}

int LibpqExportIo::pause(int delayMs, DBFailure& why) {
  const int paused = dbPause(sessions_[0], delayMs, &why);
  tellUnlockFailure(sessions_[0]);
  return paused;
}

void LibpqExportIo::wait(int milliseconds) { waitUnlessStopped(milliseconds); }

int LibpqExportIo::stopSignal() { return ::stopSignal(); }

int LibpqExportIo::straightOutput() {
  if (file_ != nullptr) return file_->part.fd;
  // /dev/null shows no rows of a chunk that fails: holding them back in a
  // temporary file (as large as the chunk) would only cost time and space.
  if (outputDiscarded()) return STDOUT_FILENO;
  return outputStart().regularFile && !errorsShareOutput() ? STDOUT_FILENO : -1;
}

SpoolOut LibpqExportIo::writeOut(Spool& spool, Day next, bool chunkDone) {
  if (file_ == nullptr) return spoolOut(spool);
  SpoolOut out = spoolOutTo(spool, file_->part.fd);
  if (out.fault == SpoolOutFault::kOutput) {
    fileReason_ = "cannot write to " + quoted(file_->partPath, 256) + ": " + systemError(errno);
    // What got in of the chunk goes again; if that fails too, the next run
    // cuts it off by the checkpoint.
    (void)resumableCutBack(*file_);
  } else if (out.fault == SpoolOutFault::kNone && chunkDone &&
             !resumableCommit(*file_, argumentText(next))) {
    fileReason_ = file_->reason;
    out.fault = SpoolOutFault::kOutput;
  }
  return out;
}
