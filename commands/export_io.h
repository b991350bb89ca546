// What the chunk loop asks of the world outside it: a database session to
// stream each chunk's rows from, waits that a stop signal cuts short, the
// stop signal itself and the write-out of a finished chunk. The tool runs
// the loop on libpq and standard output (libpq_export_io.h); the loop's own
// tests run it on a script.
#pragma once

#include <span>
#include <string>

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
  // dbCopyEnd (db/session.h) have them.
  virtual int copyBegin(const char* sql, DBFailure& why) = 0;
  virtual int copyRow(std::span<char>& row, DBFailure& why) = 0;
  virtual int copyEnd(DBFailure& why) = 0;

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
  // `next` the day to go on from. A fault may leave part of them written.
  virtual SpoolOut writeOut(Spool& spool, Day next) = 0;
};
