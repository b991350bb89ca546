// A chunk's lines, held back until its statement has succeeded: so that a
// chunk that fails prints none of its rows, and the rows printed before a
// message are exactly the complete chunks. The first `memory` bytes (by
// default kSpoolMemory) stay in memory; past them everything goes to an
// unlinked temporary file in the directory it is given, and the memory
// serves as its write buffer. Memory stays the same however large the
// chunk is.
//
// When the lines go to a regular file, the spool writes them straight into
// it instead (spoolWriteStraightTo), each byte once, and a chunk that fails
// is cut back off the file (spoolCutBack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Large enough that a day of an ordinary table never touches the disk,
// small enough to count for little next to libpq's own buffers.
inline constexpr size_t kSpoolMemory = size_t{4} * 1024 * 1024;

struct Spool {
  std::unique_ptr<char[]> buffer;  // `memory` bytes, from the first write on
  size_t memory = kSpoolMemory;
  size_t buffered = 0;             // bytes in `buffer` not yet in the file
  uint64_t filed = 0;              // bytes in the file
  int fd = -1;                     // the temporary file, once it is needed
  std::string directory;           // where the file goes
  std::string reason;              // why the spool failed; empty while it has not
  int straightTo = -1;             // the output written straight into, or -1
  uint64_t chunkStart = 0;         // where the chunk began in it
  bool outputFailed = false;       // the reason is the output's, not the spool's

  explicit Spool(std::string_view dir, size_t memoryBytes = kSpoolMemory)
      : memory(memoryBytes), directory(dir) {}
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
};

// Appends `bytes`. Returns false when they could not be kept (no temporary
// file, a failed write): spoolReason says why, and every later append fails
// too until spoolReset.
bool spoolWrite(Spool& spool, std::string_view bytes);

// Bytes appended since the last reset.
uint64_t spoolSize(const Spool& spool);

// Why the last append or spoolOut failed, for "lumettool: error: ...".
const std::string& spoolReason(const Spool& spool);

// How writing the spool out ended.
enum class SpoolOutFault {
  kNone,
  kOutput,  // the output failed (errno; for standard output outputErrno says why)
  kSpool,   // the temporary file could not be read back (spoolReason says why)
};

struct SpoolOut {
  SpoolOutFault fault = SpoolOutFault::kNone;
  // Bytes of the spool that reached the output, also after a fault.
  uint64_t written = 0;
};

// Writes everything appended to standard output, after what was pending
// there: what is in memory with one write, what went to the temporary file
// with sendfile, or read back and written where sendfile is refused. A
// stop signal cuts a write short only when nobody reads (see
// writeToDescriptor). The spool keeps its bytes: spoolReset comes next.
SpoolOut spoolOut(Spool& spool);

// The same to descriptor `out` (the export's own file).
SpoolOut spoolOutTo(Spool& spool, int out);

// From now on writes the lines straight into `out`, a regular file, at its
// end (a descriptor opened for appending too), or /dev/null; the chunk in
// progress starts at the next spoolReset.
void spoolWriteStraightTo(Spool& spool, int out);

// Cuts the output written straight into back to where the chunk began
// (nothing to do otherwise). False when that failed.
bool spoolCutBack(Spool& spool);

// Empties the spool for the next chunk, and forgets a failure. The
// temporary file is kept, emptied, for the next chunk that needs it.
void spoolReset(Spool& spool);
