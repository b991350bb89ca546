// The chunk loop's world on a script: every day of a chunk's statement
// gives one row, "YYYY-MM-DD|v\n", and the faults of the script strike at
// the numbered call of one step (a lost connection, a refused statement, a
// stop signal, a full disk). What the loop writes out is kept in `out`.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <string>
#include <vector>

#include "commands/days.h"
#include "commands/export_io.h"

enum class Step { kConnect, kCopyBegin, kCopyRow, kCopyEnd, kWriteOut, kPause, kWait, kLookUp };

enum class Fault {
  kLost,      // the connection is gone (a restart, a cut network)
  kRefused,   // the server refuses the statement or the connection for good
  kStop,      // SIGTERM arrives
  kFullDisk,  // the write-out stops halfway with ENOSPC
};

struct ScriptedFault {
  Step step;
  int call;  // which call of the step, from 1 over the whole run; 0: every call
  Fault fault;
};

class ScriptedExportIo final : public ExportIo {
 public:
  // `straight`: the rows go straight into a temporary file, as into a
  // regular file the tool writes; otherwise they wait in the spool.
  ScriptedExportIo(std::vector<ScriptedFault> faults, bool straight)
      : faults_(std::move(faults)), straight_(straight ? open("/tmp", O_TMPFILE | O_RDWR, 0600) : -1) {}
  ~ScriptedExportIo() override {
    if (straight_ >= 0) close(straight_);
  }
  ScriptedExportIo(const ScriptedExportIo&) = delete;
  ScriptedExportIo& operator=(const ScriptedExportIo&) = delete;
  ScriptedExportIo(ScriptedExportIo&&) = delete;
  ScriptedExportIo& operator=(ScriptedExportIo&&) = delete;

  // Everything written out, also what went straight into the file.
  std::string output() const {
    if (straight_ < 0) return out;
    std::string all(static_cast<size_t>(lseek(straight_, 0, SEEK_END)), '\0');
    if (pread(straight_, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size())) return "?";
    return all;
  }

  std::string out;               // everything written out of the spool
  std::vector<int> waits;        // the retry waits asked for, in ms
  std::vector<std::string> sql;  // the statements begun
  std::vector<Day> nextDays;     // the day to go on from, after each chunk written
  int connects = 0;
  int rowWaits = 0;  // waits for rows on the readers
  int lookUps = 0;
  // What the look-up of the table finds: a plain timestamp column in the
  // search path's first schema unless a case says otherwise.
  TableFacts table{"public", "public", "timestamp without time zone", true};

  int connect(DBFailure& why) override {
    ++connects;
    return connectOn(0, why);
  }
  void disconnect() override {
    for (Reader& reader : readers_) reader.connected = false;
  }
  bool connectedAsSuperuser(std::string& /*role*/) override { return false; }
  std::string clientEncoding() override { return "UTF8"; }

  int lookUpTable(TableFacts& facts, DBFailure& why) override {
    ++lookUps;
    if (!readers_[0].connected) return fail(why, "no connection to the server", "", true);
    const Fault fault = strike(Step::kLookUp);
    if (fault == Fault::kRefused) {
      return fail(why, "ERROR:  relation \"transaction\" does not exist", "42P01", false);
    }
    if (const int failed = apply(0, fault, why); failed != 0) return failed;
    facts = table;
    return 0;
  }

  int copyRow(std::span<char>& row, DBFailure& why) override { return rowOn(0, row, why); }

  // Further readers connect as the first did; a connect fault strikes them
  // in the order they are asked for.
  int connectReader(int reader, DBFailure& why) override {
    return readerAt(reader).connected ? 0 : connectOn(reader, why);
  }
  int copyBeginOn(int reader, const char* text, DBFailure& why) override {
    if (!readerAt(reader).connected) return fail(why, "no connection to the server", "", true);
    startRows(reader, text);
    return apply(reader, strike(Step::kCopyBegin), why);
  }
  int copyEndOn(int reader, DBFailure& why) override {
    const Fault fault = strike(Step::kCopyEnd);
    if (fault == Fault::kStop) {
      stop_ = SIGTERM;
      return 0;
    }
    // As dbCopyEnd: an earlier reason is kept.
    DBFailure ended;
    const int result = apply(reader, fault, ended);
    if (why.message.empty()) why = ended;
    return result;
  }
  // The script's table has no index: every chunk is read whole.
  int beginShared(int reader, std::string_view /*snapshot*/, std::string_view /*settings*/,
                  DBFailure& why) override {
    return readerAt(reader).connected ? 0 : fail(why, "no connection to the server", "", true);
  }
  int queryValue(int reader, const std::string& text, std::string& value, DBFailure& why) override {
    value = text.starts_with("EXPLAIN") ? "Seq Scan on transaction" : "";
    return readerAt(reader).connected ? 0 : fail(why, "no connection to the server", "", true);
  }
  int copyStartOn(int reader, const char* text, DBFailure& /*why*/) override {
    startRows(reader, text);
    return 0;
  }
  // Each statement's first row is not in yet when first asked for.
  int copyRowIfIn(int reader, std::span<char>& row, DBFailure& why) override {
    if (!readerAt(reader).waited) {
      readerAt(reader).waited = true;
      return 2;
    }
    return rowOn(reader, row, why);
  }
  void waitForRows(std::span<const int> readers) override {
    ++rowWaits;
    for (const int reader : readers) readerAt(reader).waited = true;
  }

  int pause(int /*delayMs*/, DBFailure& why) override { return apply(0, strike(Step::kPause), why); }
  void wait(int milliseconds) override {
    waits.push_back(milliseconds);
    if (strike(Step::kWait) == Fault::kStop) stop_ = SIGTERM;
  }
  int stopSignal() override { return stop_; }

  int straightOutput() override { return straight_; }

  SpoolOut writeOut(Spool& spool, Day next, bool chunkDone) override {
    if (chunkDone) nextDays.push_back(next);
    if (straight_ >= 0) {
      if (strike(Step::kWriteOut) == Fault::kStop) stop_ = SIGTERM;
      return spoolOutTo(spool, straight_);
    }
    const std::string_view lines(spool.buffer.get(), spool.buffered);
    const Fault fault = strike(Step::kWriteOut);
    // A stop during a write lets the write finish, as SA_RESTART does.
    if (fault == Fault::kStop) stop_ = SIGTERM;
    if (fault == Fault::kFullDisk) {
      out.append(lines.substr(0, lines.size() / 2));
      return {SpoolOutFault::kOutput, lines.size() / 2};
    }
    out.append(lines);
    return {SpoolOutFault::kNone, lines.size()};
  }

 private:
  static constexpr Fault kNone = static_cast<Fault>(-1);

  // The day written after `marker` in a statement.
  static Day dayAfter(std::string_view text, std::string_view marker) {
    const size_t at = text.find(marker) + marker.size();
    const auto number = [&](size_t from, size_t n) {
      return std::stoi(std::string(text.substr(at + from, n)));
    };
    return Day{std::chrono::year{number(0, 4)} / number(5, 2) / number(8, 2)};
  }

  Fault strike(Step step) {
    const int call = ++calls_[static_cast<size_t>(step)];
    for (const ScriptedFault& f : faults_) {
      if (f.step == step && (f.call == 0 || f.call == call)) return f.fault;
    }
    return kNone;
  }

  int apply(int reader, Fault fault, DBFailure& why) {
    switch (fault) {
      case Fault::kLost:
        readerAt(reader).connected = false;
        return fail(why, "server closed the connection unexpectedly", "", true);
      case Fault::kRefused: return fail(why, "ERROR:  division by zero", "22012", false);
      case Fault::kStop:
        stop_ = SIGTERM;
        return fail(why, "ERROR:  canceling statement due to user request", "57014", false);
      default: return 0;
    }
  }

  // What one connection streams.
  struct Reader {
    bool connected = false;
    std::vector<std::string> rows;
    size_t next = 0;
    std::string row;
    bool waited = false;
  };

  Reader& readerAt(int reader) { return readers_.at(static_cast<size_t>(reader)); }

  int connectOn(int reader, DBFailure& why) {
    readerAt(reader).connected = false;
    switch (strike(Step::kConnect)) {
      case Fault::kLost: return fail(why, "Connection refused", "", true);
      case Fault::kRefused:
        return fail(why, "FATAL:  password authentication failed for user \"u\"", "28P01", false);
      case Fault::kStop: stop_ = SIGTERM; return fail(why, "Connection refused", "", true);
      default: break;
    }
    readerAt(reader).connected = true;
    return 0;
  }

  // One row for each day of the statement's range.
  void startRows(int reader, const char* text) {
    sql.emplace_back(text);
    Reader& r = readerAt(reader);
    r.rows.clear();
    for (Day day = dayAfter(text, "OPERATOR(pg_catalog.>=) '"); day < dayAfter(text, "OPERATOR(pg_catalog.<) '");
         day += std::chrono::days{1}) {
      r.rows.push_back(isoText(day) + "|v\n");
    }
    r.next = 0;
    r.waited = false;
  }

  int rowOn(int reader, std::span<char>& row, DBFailure& why) {
    if (const int failed = apply(reader, strike(Step::kCopyRow), why); failed != 0) return failed;
    Reader& r = readerAt(reader);
    if (r.next == r.rows.size()) return 0;
    r.row = r.rows[r.next++];
    row = std::span<char>(r.row.data(), r.row.size());
    return 1;
  }

  static int fail(DBFailure& why, std::string message, std::string state, bool lost) {
    why = {std::move(message), "", "", std::move(state), lost};
    return -1;
  }

  std::vector<ScriptedFault> faults_;
  std::array<int, 8> calls_{};
  std::array<Reader, kMostSessions> readers_{};
  int stop_ = 0;
  int straight_;
};
