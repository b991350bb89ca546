// Reading ahead: the statements of the next chunks run on more connections
// while the chunk before them is written out, each into a spool of its
// own, and the chunks go out in day order, each whole or not at all, as
// when they are read one at a time. The spools bound what is held: a
// chunk starts only when one is free.
#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "commands/chunk_slices.h"
#include "commands/export_loop.h"
#include "commands/export_report.h"
#include "commands/output_format.h"
#include "commands/statement.h"
#include "db/passing_failures.h"
#include "util/diagnostics.h"

namespace {

// Rows read from one connection before the next gets its turn.
constexpr int kRowsPerTurn = 4096;

// A chunk read as one statement, or one slice of it.
struct Piece {
  Day first{};  // the chunk's days
  Day last{};
  int part = 0;  // which of the chunk's `parts` pieces, in output order
  int parts = 1;
  int reader = -1;  // while its rows come
  Spool* spool = nullptr;
  ChunksEnd end = ChunksEnd::kDone;  // how it ended, once reader is -1
  DBFailure why;
  std::string spoolReason;
  size_t breaking = 0;
};

struct Ahead {
  explicit Ahead(Run& exportRun)
      : run(exportRun), jobs(std::clamp(exportRun.job.jobs, 1, static_cast<int>(kMostSessions))) {
    for (int i = 0; i < 2 * jobs; ++i) {
      spools.push_back(std::make_unique<Spool>(run.job.spoolDirectory, run.job.spoolMemory));
      idleSpools.push_back(spools.back().get());
    }
  }

  Run& run;
  int jobs;
  // The output the first piece of a chunk that nothing waits before is
  // written straight into, as it comes, or -1 (see ExportIo::straightOutput).
  int straight = -1;
  std::vector<std::unique_ptr<Spool>> spools;
  std::vector<Spool*> idleSpools;
  std::array<bool, kMostSessions> busy{};  // a reader whose piece's rows come
  std::array<bool, kMostSessions> off{};   // a reader that could not connect
  std::deque<Piece> window;                // the pieces begun, in output order
  Day nextFirst{};                         // the first day of the next chunk to begin
  bool allBegun = false;
  ClientEncoding encoding{};
};

void endPiece(Ahead& a, Piece& piece, ChunksEnd end) {
  if (piece.reader >= 0) {
    (void)a.run.io.copyEndOn(piece.reader, piece.why);
    a.busy.at(static_cast<size_t>(piece.reader)) = false;
    piece.reader = -1;
  }
  piece.end = end;
}

// Gives a piece's spool back, no longer written straight.
void releaseSpool(Ahead& a, Spool* spool) {
  spoolWriteStraightTo(*spool, -1);
  a.idleSpools.push_back(spool);
}

// Ends every piece still reading and empties the window; what a piece
// wrote straight into the output is cut back off it.
void dropWindow(Ahead& a) {
  for (Piece& piece : a.window) {
    if (piece.reader >= 0) endPiece(a, piece, ChunksEnd::kStopped);
    if (piece.spool == nullptr) continue;
    (void)spoolCutBack(*piece.spool);
    releaseSpool(a, piece.spool);
  }
  a.window.clear();
}

// The readers free for a chunk, connected; reader 0 failing to connect is
// the chunk's failure (`why`), any other is left out from then on.
std::vector<int> readersFor(Ahead& a, size_t wanted, DBFailure& why) {
  std::vector<int> readers;
  for (int reader = 0; reader < a.jobs && readers.size() < wanted; ++reader) {
    const auto at = static_cast<size_t>(reader);
    if (a.busy.at(at) || a.off.at(at)) continue;
    DBFailure failed;
    if (a.run.io.connectReader(reader, failed) == 0) {
      readers.push_back(reader);
    } else if (reader == 0) {
      why = failed;
      return {};
    } else {
      a.off.at(at) = true;
      tellWarning({"connection ", std::to_string(reader + 1),
                   " to read ahead on could not be made; the export goes on with fewer: ",
                   failed.message});
    }
  }
  return readers;
}

// Begins the next chunk on the readers that are free, when there are any
// and a spool for each. False when none could begin.
bool beginChunk(Ahead& a) {
  Run& run = a.run;
  const ExportJob& job = run.job;
  if (a.allBegun || a.idleSpools.empty()) return false;
  const size_t freeReaders = static_cast<size_t>(std::count_if(
      a.busy.begin(), a.busy.begin() + a.jobs, [](bool busy) { return !busy; }));
  if (freeReaders == 0) return false;
  // A chunk is read in slices when there are readers to spare for it.
  const size_t wanted = run.withinDays && chunkCount(job) < a.jobs
                            ? std::min(freeReaders, a.idleSpools.size())
                            : 1;
  Piece piece;
  piece.first = a.nextFirst;
  bool finalChunk = false;
  piece.last = chunkLast(job, piece.first, finalChunk);
  std::array<char, kStatementSize> statement{};
  (void)buildStatement(job.fields, job.filter, piece.first, piece.last + std::chrono::days{1},
                       statement);
  const std::vector<int> readers = readersFor(a, wanted, piece.why);
  if (readers.empty() && piece.why.message.empty()) return false;
  int parts = -1;
  if (readers.size() > 1) {
    const SlicedChunk chunk{job.fields, job.filter, piece.first,
                            piece.last + std::chrono::days{1}, statement.data()};
    parts = startSlices(run.io, readers, chunk, piece.why);
  } else if (!readers.empty()) {
    parts = run.io.copyBeginOn(readers[0], statement.data(), piece.why) == 0 ? 1 : -1;
    if (parts < 0) (void)run.io.copyEndOn(readers[0], piece.why);
  }
  a.nextFirst = piece.last + std::chrono::days{1};
  a.allBegun = finalChunk;
  if (parts < 0) {
    // It fails in its turn, after the chunks before it are out.
    piece.end = ChunksEnd::kStatementFailed;
    a.window.push_back(piece);
    return true;
  }
  piece.parts = parts;
  // With nothing before it to wait for, the chunk's first piece goes
  // straight into a regular file, each byte once, as one chunk at a time
  // does; it is cut back when the chunk fails.
  const bool first = a.window.empty();
  for (int part = 0; part < parts; ++part) {
    piece.part = part;
    piece.reader = readers[static_cast<size_t>(part)];
    a.busy.at(static_cast<size_t>(piece.reader)) = true;
    piece.spool = a.idleSpools.back();
    a.idleSpools.pop_back();
    if (first && part == 0 && a.straight >= 0) spoolWriteStraightTo(*piece.spool, a.straight);
    spoolReset(*piece.spool);
    a.window.push_back(piece);
  }
  return true;
}

// Reads what has come for one piece, up to kRowsPerTurn rows. True when
// it got rows or ended; false when it waits for the server.
bool readPiece(Ahead& a, Piece& piece) {
  int rows = 0;
  bool moved = false;
  for (;;) {
    std::span<char> row;
    const int got = a.run.io.copyRowIfIn(piece.reader, row, piece.why);
    if (got == 2) break;
    moved = true;
    if (got != 1) {
      // The rows are over: the statement's end decides.
      const bool ended = a.run.io.copyEndOn(piece.reader, piece.why) == 0;
      a.busy.at(static_cast<size_t>(piece.reader)) = false;
      piece.reader = -1;
      piece.end = got == 0 && ended ? ChunksEnd::kDone : ChunksEnd::kStatementFailed;
      break;
    }
    if (!spoolCopyRow(*piece.spool, row, a.run.job.format, a.encoding, piece.breaking)) {
      // Written straight into the output, the rows failed there.
      piece.spoolReason = spoolReason(*piece.spool);
      endPiece(a, piece,
               piece.spool->outputFailed ? ChunksEnd::kOutputFailed : ChunksEnd::kSpoolFailed);
      break;
    }
    if (++rows == kRowsPerTurn) break;
  }
  progressRowsArrived(a.run.progress, rows);
  return moved;
}

// Reads what has come for each piece, a turn each. True when some piece
// got rows or ended; false when all of them wait for the server.
bool readRows(Ahead& a) {
  bool moved = false;
  for (Piece& piece : a.window) {
    if (piece.reader >= 0 && readPiece(a, piece)) moved = true;
  }
  return moved;
}

// Writes out the first chunk's pieces, once all of them are in.
ChunksEnd writeFirstChunk(Ahead& a) {
  Run& run = a.run;
  ExportResult& result = run.result;
  const int parts = a.window.front().parts;
  uint64_t written = 0;
  size_t breaking = 0;
  for (int part = 0; part < parts; ++part) {
    Piece& piece = a.window.at(static_cast<size_t>(part));
    const SpoolOut out =
        run.io.writeOut(*piece.spool, piece.last + std::chrono::days{1}, part == parts - 1);
    if (out.fault != SpoolOutFault::kNone) {
      result.spoolReason = spoolReason(*piece.spool);
      return out.fault == SpoolOutFault::kSpool ? ChunksEnd::kSpoolFailed
                                                : ChunksEnd::kOutputFailed;
    }
    written += out.written;
    breaking += piece.breaking;
  }
  chunkWentOut(result, written, breaking);
  for (int part = 0; part < parts; ++part) {
    releaseSpool(a, a.window.front().spool);
    a.window.pop_front();
  }
  return ChunksEnd::kDone;
}

// What became of the first chunk in the window.
enum class FirstChunk { kReading, kOut, kRetried, kEnded };

// The first chunk's turn: written out once all of it is in; when one of
// its pieces failed, tried again from its start while the failure passes,
// or the end. `end` is how the export ends, for kEnded.
FirstChunk settleFirstChunk(Ahead& a, ChunksEnd& end) {
  Run& run = a.run;
  ExportResult& result = run.result;
  const Piece& head = a.window.front();
  result.first = head.first;
  result.last = head.last;
  const auto pieces = a.window.begin() + head.parts;
  const auto failed = std::find_if(a.window.begin(), pieces, [](const Piece& piece) {
    return piece.reader < 0 && piece.end != ChunksEnd::kDone;
  });
  if (failed == pieces) {
    if (std::any_of(a.window.begin(), pieces, [](const Piece& piece) { return piece.reader >= 0; })) {
      return FirstChunk::kReading;
    }
    end = writeFirstChunk(a);
    if (end != ChunksEnd::kDone) return FirstChunk::kEnded;
    progressChunkEnds(run.progress);
    run.retries = 0;
    result.next = result.last + std::chrono::days{1};
    if (result.last == run.job.to) return FirstChunk::kEnded;
    if (run.io.stopSignal() != 0) {
      result.pausing = true;
      end = ChunksEnd::kStopped;
      return FirstChunk::kEnded;
    }
    bool finalChunk = false;
    result.first = result.next;
    result.last = chunkLast(run.job, result.first, finalChunk);
    progressChunkStarts(run.progress, result.first, result.last);
    return FirstChunk::kOut;
  }
  result.why = failed->why;
  const ChunksEnd failure = failed->end;
  const std::string reason = failed->spoolReason;
  dropWindow(a);
  end = failure;
  if (failure == ChunksEnd::kSpoolFailed || failure == ChunksEnd::kOutputFailed) {
    result.spoolReason = reason;
    return FirstChunk::kEnded;
  }
  if (run.io.stopSignal() != 0) {
    end = ChunksEnd::kStopped;
    return FirstChunk::kEnded;
  }
  if (!chunkFailurePasses(result.why)) return FirstChunk::kEnded;
  if (!reconnect(run, "the statement for " + isoText(result.first) + ".." +
                          isoText(result.last) + " failed: ") ||
      !sessionEncoding(run, a.encoding)) {
    if (run.io.stopSignal() != 0) end = ChunksEnd::kStopped;
    return FirstChunk::kEnded;
  }
  a.nextFirst = result.first;
  a.allBegun = false;
  return FirstChunk::kRetried;
}

}  // namespace

ChunksEnd exportChunksAhead(Run& run) {
  Ahead a(run);
  a.straight = run.io.straightOutput();
  ExportResult& result = run.result;
  progressBegins(run.progress, chunkCount(run.job));
  a.nextFirst = run.job.from;
  bool finalChunk = false;
  result.first = run.job.from;
  result.last = chunkLast(run.job, result.first, finalChunk);
  progressChunkStarts(run.progress, result.first, result.last);
  if (!sessionEncoding(run, a.encoding)) return ChunksEnd::kStatementFailed;
  for (;;) {
    if (run.io.stopSignal() != 0) {
      dropWindow(a);
      return ChunksEnd::kStopped;
    }
    while (beginChunk(a)) {
    }
    bool moved = readRows(a);
    for (ChunksEnd end = ChunksEnd::kDone; !a.window.empty();) {
      const FirstChunk first = settleFirstChunk(a, end);
      if (first == FirstChunk::kEnded) {
        dropWindow(a);
        return end;
      }
      if (first == FirstChunk::kReading) break;
      moved = true;
    }
    if (!moved) {
      std::vector<int> reading;
      for (const Piece& piece : a.window) {
        if (piece.reader >= 0) reading.push_back(piece.reader);
      }
      run.io.waitForRows(reading);
    }
  }
}
