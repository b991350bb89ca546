#include "util/stop_signals.h"

#include <poll.h>
#include <signal.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>


namespace {

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t caught = 0;

// Only notes the signal: what must be cancelled is cancelled from the
// export's own loop, where waiting for the server can be bounded.
void onStopSignal(int signal) {
  if (caught == 0) caught = signal;
}

}  // namespace

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  action.sa_flags = 0;  // no SA_RESTART: a write blocked on a full pipe returns
  (void)sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) (void)sigaddset(&action.sa_mask, signal);
  for (const int signal : kStopSignals) {
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    (void)sigaction(signal, &action, nullptr);
  }
}

int stopSignal() { return caught; }

int pollUnlessStopped(pollfd* watched, int count, int milliseconds) {
  // The signals are blocked from the check until ppoll waits, and let in
  // only there: one that comes in between ends the wait at once instead of
  // after it.
  sigset_t stops;
  sigset_t before;
  (void)sigemptyset(&stops);
  for (const int signal : kStopSignals) (void)sigaddset(&stops, signal);
  (void)sigprocmask(SIG_BLOCK, &stops, &before);
  int ready = -1;
  errno = EINTR;
  if (caught == 0) {
    const timespec timeout{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000};
    ready = ppoll(watched, static_cast<nfds_t>(count), &timeout, &before);
  }
  const int pollErrno = errno;
  (void)sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = pollErrno;
  return ready;
}

void waitUnlessStopped(int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (caught == 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    (void)pollUnlessStopped(nullptr, 0, static_cast<int>(left.count()));
  }
}

void endBySignal(int signal) {
  (void)std::fflush(stderr);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  (void)sigemptyset(&action.sa_mask);
  (void)sigaction(signal, &action, nullptr);
  sigset_t unblocked;
  (void)sigemptyset(&unblocked);
  (void)sigaddset(&unblocked, signal);
  (void)sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  (void)raise(signal);
  // A signal whose default is not to end the process: end as if it had.
  std::_Exit(128 + signal);
}
