#include "tests/support/run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

std::string programPath(const std::string& name) { return std::string(LUMET_BIN_DIR) + "/" + name; }

namespace {

// The argument and environment vectors of a child, built before the fork:
// when other threads run programs too, the child may only make system calls.
struct ChildVectors {
  std::vector<std::string> envStore;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

std::string_view envName(std::string_view entry) { return entry.substr(0, entry.find('=')); }

void prepareChild(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options, ChildVectors& child) {
  for (char** e = environ; *e != nullptr; ++e) {
    bool overridden = false;
    for (const std::string& entry : options.env) overridden |= envName(*e) == envName(entry);
    if (!overridden) child.envStore.emplace_back(*e);
  }
  child.envStore.insert(child.envStore.end(), options.env.begin(), options.env.end());
  // The programs try a refused or lost connection again only where a test
  // asks for it: a refused port then fails at once.
  const bool retriesSet = std::any_of(child.envStore.begin(), child.envStore.end(),
                                      [](const std::string& entry) {
                                        return envName(entry) == "LUMETTOOL_RETRIES";
                                      });
  if (!retriesSet) child.envStore.emplace_back("LUMETTOOL_RETRIES=0");
  for (std::string& entry : child.envStore) child.envp.push_back(entry.data());
  child.envp.push_back(nullptr);
  child.argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) child.argv.push_back(const_cast<char*>(arg.c_str()));
  child.argv.push_back(nullptr);
}

bool setSignal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  return sigemptyset(&action.sa_mask) == 0 && sigaction(signal, &action, nullptr) == 0;
}

// The working directory and the program are reached with the test's rights;
// only then does the child give up root when asked to. Whatever the test
// process ignores, the program starts with SIGPIPE's default action.
[[noreturn]] void execChild(const char* programFile, const ChildVectors& child,
                            const RunOptions& options, int outFd, int errFd) {
  if (chdir(options.cwd.c_str()) != 0) _exit(126);
  if (dup2(outFd, STDOUT_FILENO) < 0 || dup2(errFd, STDERR_FILENO) < 0) _exit(126);
  for (const int fd : options.closedFds) close(fd);
  if (!setSignal(SIGPIPE, SIG_DFL)) _exit(126);
  if (options.fileSizeLimit >= 0) {
    const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                       static_cast<rlim_t>(options.fileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || !setSignal(SIGXFSZ, SIG_IGN)) _exit(126);
  }
  for (const int signal : options.ignoredSignals) {
    if (!setSignal(signal, SIG_IGN)) _exit(126);
  }
  if (options.uid >= 0) {
    const int exe = open(programFile, O_PATH | O_CLOEXEC);
    if (exe < 0 || setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.gid)) != 0 ||
        setuid(static_cast<uid_t>(options.uid)) != 0) {
      _exit(126);
    }
    fexecve(exe, child.argv.data(), child.envp.data());
    _exit(127);
  }
  execve(programFile, child.argv.data(), child.envp.data());
  _exit(127);
}

// posix_spawn does not copy the parent's page tables as fork does, which
// counts in a test built with AddressSanitizer; fork is left for a child
// that has to change its user, its limits or its ignored signals first.
pid_t startChild(const char* programFile, const ChildVectors& child, const RunOptions& options,
                 int outFd, int errFd) {
  if (options.uid >= 0 || options.fileSizeLimit >= 0 || !options.ignoredSignals.empty()) {
    const pid_t pid = fork();
    if (pid == 0) execChild(programFile, child, options, outFd, errFd);
    return pid;
  }
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t defaults;
  int outSet = sigemptyset(&defaults);
  if (outSet == 0) outSet = sigaddset(&defaults, SIGPIPE);
  if (outSet == 0) outSet = posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (outSet == 0) outSet = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (outSet == 0) outSet = posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  if (outSet == 0) outSet = posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  for (const int fd : options.closedFds) {
    if (outSet == 0) outSet = posix_spawn_file_actions_addclose(&actions, fd);
  }
  pid_t pid = -1;
  if (outSet != 0 || posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str()) != 0 ||
      posix_spawn(&pid, programFile, &actions, &attributes, child.argv.data(), child.envp.data()) !=
          0) {
    pid = -1;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  RunResult result;
  const auto start = std::chrono::steady_clock::now();
  ChildVectors child;
  prepareChild(program, args, options, child);
  int fds[2] = {-1, -1};
  int outFd = -1;
  if (options.stdoutFd >= 0) {
    outFd = options.stdoutFd;
  } else if (options.stdoutPath.empty()) {
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    outFd = fds[1];
    if (options.stdoutReaderGone) {
      close(fds[0]);
      fds[0] = -1;
    }
  } else {
    outFd = open(options.stdoutPath.c_str(),
                 O_WRONLY | O_CREAT | O_CLOEXEC | (options.stdoutAppend ? O_APPEND : O_TRUNC), 0644);
    if (outFd < 0) return result;
  }
  // Standard error: a pipe of its own, the pseudo-terminal's other side, or
  // standard output's descriptor.
  int errFds[2] = {-1, -1};
  if (options.stderrTerminal) {
    if (openpty(&errFds[0], &errFds[1], nullptr, nullptr, nullptr) != 0) return result;
    (void)fcntl(errFds[0], F_SETFD, FD_CLOEXEC);
    (void)fcntl(errFds[1], F_SETFD, FD_CLOEXEC);
  } else if (!options.mergeStderr && pipe2(errFds, O_CLOEXEC) != 0) {
    return result;
  }
  const int errFd = options.mergeStderr ? outFd : errFds[1];
  const pid_t pid = startChild(program.c_str(), child, options, outFd, errFd);
  if (pid > 0 && options.started) options.started(pid);
  if (outFd >= 0 && outFd != options.stdoutFd) close(outFd);
  if (errFds[1] >= 0) close(errFds[1]);
  if (pid < 0) {
    if (fds[0] >= 0) close(fds[0]);
    if (errFds[0] >= 0) close(errFds[0]);
    return result;
  }

  const auto deadline = start + std::chrono::seconds(options.timeoutSeconds);
  char buf[65536];
  while (fds[0] >= 0 || errFds[0] >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    std::array<pollfd, 2> watched{pollfd{fds[0], POLLIN, 0}, pollfd{errFds[0], POLLIN, 0}};
    if (poll(watched.data(), watched.size(), static_cast<int>(left.count())) <= 0) continue;
    if (watched[1].revents != 0) {
      // A pseudo-terminal whose other side has closed reads as an error.
      const ssize_t n = read(errFds[0], buf, sizeof buf);
      if (n > 0) {
        result.err.append(buf, static_cast<size_t>(n));
      } else {
        close(errFds[0]);
        errFds[0] = -1;
      }
    }
    if (watched[0].revents == 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    bool done = n <= 0;
    if (n > 0) {
      result.out.append(buf, static_cast<size_t>(n));
      if (options.onOutput) options.onOutput(result.out);
      if (options.closeStdoutEarly && result.out.find('\n') != std::string::npos) {
        result.out.resize(result.out.find('\n') + 1);
        done = true;
      }
    }
    if (done) {
      close(fds[0]);
      fds[0] = -1;
    }
  }
  if (fds[0] >= 0) close(fds[0]);
  if (errFds[0] >= 0) close(errFds[0]);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

std::vector<RunResult> runAll(const std::vector<RunJob>& jobs, int workers) {
  std::vector<RunResult> results(jobs.size());
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i = next++; i < jobs.size(); i = next++)
      results[i] = runProgram(jobs[i].program, jobs[i].args, jobs[i].options);
  };
  std::vector<std::thread> threads;
  for (int w = 1; w < workers; ++w) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  return results;
}

bool dropPrivileges(RunOptions& options) {
  if (geteuid() != 0) return true;
  passwd entry{};
  passwd* nobody = nullptr;
  std::array<char, 4096> strings{};
  if (getpwnam_r("nobody", &entry, strings.data(), strings.size(), &nobody) != 0 ||
      nobody == nullptr || nobody->pw_uid == 0) {
    return false;
  }
  options.uid = static_cast<int>(nobody->pw_uid);
  options.gid = static_cast<int>(nobody->pw_gid);
  return true;
}

std::string withoutLines(const std::string& text, const std::string& marker) {
  std::string kept;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
    const std::string_view line(text.data() + start, end - start);
    if (line.find(marker) == std::string_view::npos) kept += line;
    start = end;
  }
  return kept;
}
