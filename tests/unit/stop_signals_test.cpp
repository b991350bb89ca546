#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "util/stop_signals.h"

namespace {

// How the stop signal reaches the process while it waits.
enum class Delivery {
  kNone,             // no signal: the wait ends by its descriptor or its time-out
  kBeforeWait,       // raised before the wait starts
  kToWaiter,         // sent to the waiting thread while it waits
  kToOtherThread,    // taken by another thread while the first one waits
  kIgnoredAtStart,   // sent while waiting, but ignored since before the catch
};

struct WaitCase {
  const char* name;
  Delivery delivery;
  bool readableFd;   // the watched descriptor has something to read
  int timeoutMs;
  int ready;         // what pollUnlessStopped returns
  bool interrupted;  // -1 with EINTR and the signal noted
  int descriptors = 1;  // pipes watched; only the last may be readable
};

// What a wait in a fresh process gave, as its exit status: 0 when the
// case's expectations held, else the step that failed.
int waitInChild(const WaitCase& c) {
  if (c.delivery == Delivery::kIgnoredAtStart) (void)signal(SIGTERM, SIG_IGN);
  catchStopSignals();
  std::vector<pollfd> watched;
  int lastWriteEnd = -1;
  for (int i = 0; i < c.descriptors; ++i) {
    int fds[2];
    if (pipe(fds) != 0) return 10;
    watched.push_back({fds[0], POLLIN, 0});
    lastWriteEnd = fds[1];
  }
  if (c.readableFd && write(lastWriteEnd, "x", 1) != 1) return 11;
  const pthread_t waiter = pthread_self();
  if (c.delivery == Delivery::kBeforeWait) (void)raise(SIGTERM);
  std::thread sender;
  if (c.delivery == Delivery::kToWaiter || c.delivery == Delivery::kIgnoredAtStart) {
    sender = std::thread([waiter] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread): caught, it only notes the stop
      (void)pthread_kill(waiter, SIGTERM);
    });
  } else if (c.delivery == Delivery::kToOtherThread) {
    // The waiter blocks the signal: only the other thread can take it.
    sigset_t stops;
    (void)sigemptyset(&stops);
    (void)sigaddset(&stops, SIGTERM);
    (void)pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    sender = std::thread([] {
      sigset_t open;
      (void)sigemptyset(&open);
      (void)sigaddset(&open, SIGTERM);
      (void)pthread_sigmask(SIG_UNBLOCK, &open, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      (void)raise(SIGTERM);
    });
  }
  const int ready = pollUnlessStopped(watched.data(), c.descriptors, c.timeoutMs);
  const int pollErrno = errno;
  if (sender.joinable()) sender.join();
  if (ready != c.ready) return 1;
  if (c.interrupted && (pollErrno != EINTR || stopSignal() != SIGTERM)) return 2;
  if (!c.interrupted && stopSignal() != 0) return 3;
  // Only the readable descriptor is marked so.
  for (size_t i = 0; i < watched.size(); ++i) {
    const bool marked = (watched[i].revents & POLLIN) != 0;
    if (marked != (ready == 1 && i + 1 == watched.size())) return 4;
  }
  // Once a stop has come, every later wait ends at once, also one that
  // watches nothing.
  if (c.interrupted && pollUnlessStopped(nullptr, 0, 60000) != -1) return 5;
  return 0;
}

}  // namespace

TEST(StopSignals, AWaitEndsAtTheStopHoweverTheSignalCame) {
  // The waits that a stop must end have a time-out far beyond the test's
  // patience: one that was not ended returns 0 instead of -1.
  const WaitCase cases[] = {
      {"nothing comes: the time-out", Delivery::kNone, false, 50, 0, false},
      {"the descriptor is readable", Delivery::kNone, true, 60000, 1, false},
      {"a stop before the wait", Delivery::kBeforeWait, false, 20000, -1, true},
      {"a stop before the wait, the descriptor readable", Delivery::kBeforeWait, true, 20000, -1,
       true},
      {"a stop during the wait", Delivery::kToWaiter, false, 20000, -1, true},
      {"a stop taken by another thread", Delivery::kToOtherThread, false, 20000, -1, true},
      {"a stop ignored since the start", Delivery::kIgnoredAtStart, false, 1000, 0, false},
      {"20 descriptors, the last readable", Delivery::kNone, true, 60000, 1, false, 20},
      {"20 descriptors, a stop during the wait", Delivery::kToWaiter, false, 20000, -1, true, 20},
      {"100 descriptors, the last readable", Delivery::kNone, true, 60000, 1, false, 100},
      {"100 descriptors, a stop during the wait", Delivery::kToWaiter, false, 20000, -1, true, 100},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(waitInChild(c));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}
