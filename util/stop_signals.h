// Stopping an export cleanly when told to: SIGINT, SIGTERM and SIGHUP are
// only noted by their handler; the export sees the note in its own loop,
// cancels what runs on the server, waits for it at most kStopGraceSeconds
// and ends by the same signal once it has said how far it got.
#pragma once

#include <poll.h>

#include <chrono>

// How long, after a stop signal, the export still waits for a server to
// end its statement or for a reader to take a chunk already being written.
inline constexpr std::chrono::seconds kStopGrace{5};

// Catches the three signals from now on, except those the process was
// started with ignored (nohup, a background job): they stay ignored. A
// blocking system call that a stop signal interrupts before it did
// anything fails with EINTR instead of waiting on; the waits of this layer
// end early.
void catchStopSignals();

// The signal that asked the export to stop, or 0.
int stopSignal();

// poll() that returns -1 with EINTR as soon as a stop signal has come, also
// one that came just before it would have started waiting.
int pollUnlessStopped(pollfd* watched, int count, int milliseconds);

// Sleeps `milliseconds`, or less when a stop signal comes.
void waitUnlessStopped(int milliseconds);

// Ends the process by `signal`, the way it would have ended without the
// catch, so that shells and schedulers see 128 + `signal`.
[[noreturn]] void endBySignal(int signal);

