// What the chunk loop asks of the world outside it: a database session to
// stream each chunk's rows from, waits that a stop signal cuts short, the
// stop signal itself and the write-out of a finished chunk. The tool runs
// the loop on libpq and standard output (libpq_export_io.h); the loop's own
// tests run it on a script.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "commands/days.h"
#include "db/session.h"
#include "util/spool.h"

// The table the statement reads, as the session resolves its name.
struct TableFacts {
  std::string schema;          // the schema `transaction` was found in
  std::string firstSchema;     // the search path's first schema; empty when it names none
  std::string datetimeType;    // the type of its column datetime, as the server writes it
  bool datetimeDays = false;   // a type the days bound: timestamp, timestamptz or date
};

class ExportIo {
 public:
  ExportIo() = default;
  virtual ~ExportIo() = default;
  ExportIo(const ExportIo&) = delete;
  ExportIo& operator=(const ExportIo&) = delete;
  ExportIo(ExportIo&&) = delete;
  ExportIo& operator=(ExportIo&&) = delete;

  // Connects, after closing an earlier connection. 0, or -1 and why.
  virtual int connect(DBFailure& why) = 0;
  virtual void disconnect() = 0;
  // True when the connection's role is a superuser, named in `role`.
  virtual bool connectedAsSuperuser(std::string& role) = 0;
  // The connection's client encoding as the server names it, as dbClientEncoding.
  virtual std::string clientEncoding() = 0;

  // Looks up, once before the first chunk, which table `transaction` names
  // for the statement and the type of its datetime column. 0, or -1 and
  // the server's account (a missing table or column, a lost connection).
  virtual int lookUpTable(TableFacts& facts, DBFailure& why) = 0;

  // A chunk's statement and its rows, as dbCopyBegin, dbCopyRow and
  // dbCopyEnd (db/session.h) have them, on the connection connect() made.
  int copyBegin(const char* sql, DBFailure& why) { return copyBeginOn(0, sql, why); }
  virtual int copyRow(std::span<char>& row, DBFailure& why) = 0;
  int copyEnd(DBFailure& why) { return copyEndOn(0, why); }

  // Reading ahead on more connections ("readers", from 0 to
  // kMostSessions - 1; reader 0 is the connection connect() made, and
  // disconnect() closes them all). Each call is that of db/session.h of
  // the same name, on the reader's connection.
  //
  // Connects the reader unless it is connected. 0, or -1 and why.
  virtual int connectReader(int reader, DBFailure& why) = 0;
  virtual int copyBeginOn(int reader, const char* sql, DBFailure& why) = 0;
  virtual int copyEndOn(int reader, DBFailure& why) = 0;
  // dbBeginShared: a transaction in one snapshot, new or exported by another.
  virtual int beginShared(int reader, std::string_view snapshot, std::string_view settings,
                          DBFailure& why) = 0;
  // The first value of the first row `sql` gives, in the reader's
  // transaction; "" when it gives none.
  virtual int queryValue(int reader, const std::string& sql, std::string& value,
                         DBFailure& why) = 0;
  virtual int copyStartOn(int reader, const char* sql, DBFailure& why) = 0;
  // The next row when one is in, 2 when none has come yet.
  virtual int copyRowIfIn(int reader, std::span<char>& row, DBFailure& why) = 0;
  // Waits until one of `readers` has more, or a stop signal came.
  virtual void waitForRows(std::span<const int> readers) = 0;

  // The pause between chunks, watching the connection, as dbPause.
  virtual int pause(int delayMs, DBFailure& why) = 0;
  // The wait before a retry; a stop signal ends it early.
  virtual void wait(int milliseconds) = 0;
  // The stop signal that came, or 0.
  virtual int stopSignal() = 0;

  // The regular file the rows may be written straight into as they come,
  // a chunk that fails then cut back off it (or /dev/null, where nothing
  // needs cutting back); -1 when they must wait in the spool until their
  // chunk is complete (a pipe, a terminal, or a file that standard error
  // writes into as well).
  virtual int straightOutput() = 0;

  // Writes the finished chunk's lines out and, once they are there, makes
  // `next` the day to go on from; for a chunk read in parts, only once its
  // last part (`chunkDone`) is out. A fault may leave part of them written.
  virtual SpoolOut writeOut(Spool& spool, Day next, bool chunkDone) = 0;
};
