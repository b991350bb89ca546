// Writing to standard output, with every write checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The buffer standard output gets when it is not a terminal. Writers that
// hand it text in pieces of this size send each piece on in one write.
inline constexpr size_t kOutputBufferSize = size_t{64} * 1024;

// Gives standard output a kOutputBufferSize buffer when it is not a
// terminal; a terminal keeps its line buffering. Call before anything is
// written to standard output.
void useLargeOutputBuffer();

// Writes `text` to standard output as it stands (no newline added).
// Returns 0, or -1 once standard output has failed.
int printText(std::string_view text);

// Where this run's bytes land: in a regular file, after `offset` bytes
// (its size when it was opened for appending, where the writing starts
// otherwise); else nowhere that can be cut back.
struct OutputStart {
  bool regularFile = false;
  uint64_t offset = 0;
};
OutputStart outputStart();

// True when standard error is the same file, pipe or terminal as standard
// output (2>&1), so that its lines land among the rows.
bool errorsShareOutput();

// True when standard output is /dev/null opened for writing: nothing
// written there is kept or seen, so nothing needs holding back for it. (The
// read-only /dev/null that fillStandardDescriptors opens is not: writing
// to it fails.)
bool outputDiscarded();

// Writes all of `bytes` to descriptor `fd` with write(2), adding what got
// through to `written`. A write that a stop signal interrupts (a reader
// that does not read) is tried again as long as the reader takes more,
// until kStopGrace after the signal. Returns 0, or -1 with errno set (EINTR
// when the grace ran out); a failure on standard output is remembered for
// outputErrno.
int writeToDescriptor(int fd, std::string_view bytes, uint64_t& written);

// Flushes standard output. Returns 0, or -1 when any write to it has failed.
int finishOutput();

// The system's error number of the first write to standard output that
// failed (ENOSPC, EPIPE...), 0 while none has.
int outputErrno();

// Opens /dev/null on each of descriptors 0, 1 and 2 that the process was
// started without, so that no file or connection opened later takes their
// place and receives what is meant for standard output or standard error.
// Standard output is opened read-only: writing to it then fails, as on a
// full disk. Returns 0, or -1 when a missing descriptor could not be filled.
int fillStandardDescriptors();

// Ignores SIGPIPE, so that writing to a pipe whose reader has gone fails
// with EPIPE like any other failed write instead of ending the process.
// Returns 0, or -1 when the signal's action could not be set.
int ignoreBrokenPipe();
