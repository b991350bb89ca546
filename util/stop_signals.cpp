#include "util/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>


namespace {

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t caught = 0;

// A pipe that the handler writes a byte into: a wait that watches its read
// end ends even when the signal came between the check of `caught` and the
// start of the wait, or went to another thread. Never read, it stays
// readable once a stop came, as `caught` stays set. -1 until
// catchStopSignals made it; without it, waits mask the signals instead.
std::array<int, 2> wakePipe{-1, -1};

// Only notes the signal: what must be cancelled is cancelled from the
// export's own loop, where waiting for the server can be bounded.
void onStopSignal(int signal) {
  if (caught == 0) caught = signal;
  const int saved = errno;
  if (wakePipe[1] >= 0) {
    // A full pipe is as good: one byte in it is enough.
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], "", 1);
  }
  errno = saved;
}

// What one wait watches at most: the caller's descriptors (more than any
// wait of the tool, one a session) and the pipe. A larger wait masks the
// signals instead.
using Watched = std::array<pollfd, 64>;

// poll() over `watched` and the pipe's read end: one system call a wait,
// where masking the signals around ppoll takes three. The export waits
// once for every few kilobytes of rows. `count` is below Watched's size.
int pollWatchingPipe(pollfd* watched, size_t count, int milliseconds) {
  Watched all{};
  for (size_t i = 0; i < count; ++i) all[i] = watched[i];
  all[count] = {wakePipe[0], POLLIN, 0};
  int ready = -1;
  errno = EINTR;
  if (caught == 0) ready = poll(all.data(), static_cast<nfds_t>(count) + 1, milliseconds);
  if (ready > 0 && all[count].revents != 0) {
    ready = -1;
    errno = EINTR;
  }
  for (size_t i = 0; i < count; ++i) watched[i].revents = all[i].revents;
  return ready;
}

}  // namespace

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  action.sa_flags = 0;  // no SA_RESTART: a write blocked on a full pipe returns
  (void)sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) (void)sigaddset(&action.sa_mask, signal);
  if (wakePipe[0] < 0 && pipe2(wakePipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) wakePipe = {-1, -1};
  for (const int signal : kStopSignals) {
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    (void)sigaction(signal, &action, nullptr);
  }
}

int stopSignal() { return caught; }

int pollUnlessStopped(pollfd* watched, int count, int milliseconds) {
  if (wakePipe[0] >= 0 && count >= 0 && static_cast<size_t>(count) < Watched().size()) {
    return pollWatchingPipe(watched, static_cast<size_t>(count), milliseconds);
  }
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
