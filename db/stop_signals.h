// Stopping an export cleanly when told to: SIGINT, SIGTERM and SIGHUP
// cancel every statement that runs on the server (db/statement_cancel.h),
// and the export ends by the same signal once it has said how far it got.
#pragma once

#include <poll.h>

// Catches the three signals from now on. Interrupted system calls go on
// (writes are not cut short); the waits of this layer end early.
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

