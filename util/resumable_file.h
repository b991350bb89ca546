// The export's own output file, for LUMETTOOL_OUTPUT=PATH: the rows go to
// PATH.part, which becomes PATH in one rename once every chunk is in, so that
// PATH only ever exists complete; after every chunk a checkpoint records how
// much of PATH.part is complete, so that the same export run again after any
// stop cuts PATH.part back to that and goes on from the day after it.
//
// The files, all in the directory PATH leads to through its symbolic links:
//   PATH.part             the rows so far; mode 0600 when it is made here
//   PATH.part.checkpoint  its complete bytes, the day to go on from and the
//                         identity of the export that wrote them
//
// The checkpoint is text, written whole to a new file that is flushed and
// renamed over the old one (replaceFile), and only after the bytes it names
// have been flushed: a crash or a power cut leaves either the old checkpoint
// or the new one, never one that names bytes the disk may not hold. Its
// lines, each value preceded by its length in bytes so that it may hold any
// byte, a line break too:
//   lumettool export checkpoint 1
//   complete BYTES
//   next LENGTH DAY
//   field NAME LENGTH VALUE     one line per identity field
//   end
// The first line carries the format's version; a reader takes only the
// version it knows and starts afresh on any other.
//
// One run per file: a run holds an exclusive flock on PATH.part from
// resumableOpen until its record goes, and a second run fails at once. The
// lock stays with the file when it is renamed to PATH, so a run that opened
// PATH.part just before another run's rename, and gets the lock when that
// run ends, finds that the name now stands for another file (or none) and
// opens it again. The finishing run removes the checkpoint before the
// rename, so no run ever pairs a new PATH.part with an old checkpoint.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "util/replace_file.h"

// One part of what makes an export what it is: edition, field list,
// condition, first and last day, days per chunk, format. The name is a
// plain word (letters, digits, '_', '-', '.'), each name once; the value
// may be any bytes.
struct IdentityField {
  std::string_view name;
  std::string_view value;
};

struct ResumableFile {
  std::string path;            // PATH, after its symbolic links
  std::string partPath;        // PATH.part
  std::string checkpointPath;  // PATH.part.checkpoint
  std::string identity;        // the identity's lines of the checkpoint
  FileDescriptor part{-1};     // PATH.part read-write, locked; the caller writes here
  FileDescriptor directory{-1};
  uint64_t committed = 0;      // bytes of PATH.part the checkpoint names complete
  std::string nextDay;         // the day the checkpoint names; empty while there is none
  bool finished = false;       // PATH.part is PATH now

  // After resumableOpen: the day to go on from, empty when the export
  // starts from its first day; and why an old PATH.part or checkpoint was
  // not taken up, empty when there was none or it was.
  std::string resumeFrom;
  std::string warning;

  // Why the last call failed; `busy` when it was because another run holds
  // the lock.
  std::string reason;
  bool busy = false;

  // The members close the descriptors, which releases the lock; nothing is
  // removed, so a run that stops leaves PATH.part for the next one.
  ResumableFile() = default;
};

// Takes the lock on PATH.part (creating it, mode 0600, when there is none)
// and reads its checkpoint. When the checkpoint was made by this same
// identity and PATH.part holds at least the bytes it names, cuts PATH.part
// back to them and sets resumeFrom; otherwise empties PATH.part, removes
// the checkpoint and sets `warning` when either held anything. Leaves
// `part` at the end of the complete bytes. Returns false with `reason` when
// the lock is held by another run (`busy`), a file cannot be opened, read
// or changed, or the checkpoint is not a regular file. When busy, the
// other run's files are left as they are. Call once per record.
bool resumableOpen(ResumableFile& file, const std::string& path,
                   std::span<const IdentityField> identity);

// Makes everything now in PATH.part complete: flushes it to disk, then
// replaces the checkpoint by one naming its size and `nextDay`. On failure
// `committed` stays as it was, unless the new checkpoint was renamed into
// place and only flushing the directory failed.
bool resumableCommit(ResumableFile& file, std::string_view nextDay);

// Cuts PATH.part back to the complete bytes and puts `part` at their end,
// for a chunk that failed after some of its bytes were written.
bool resumableCutBack(ResumableFile& file);

// Flushes PATH.part, removes the checkpoint, renames PATH.part to PATH and
// flushes the directory. PATH.part must hold exactly the complete bytes. On
// a failure before the rename the checkpoint is written again, so that the
// export can still go on from it.
bool resumableFinish(ResumableFile& file);
