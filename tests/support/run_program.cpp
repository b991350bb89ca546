#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

std::string sProgram(const std::string& name) { return std::string(LUMET_BIN_DIR) + "/" + name; }

namespace {

[[noreturn]] void vdExecChild(const std::string& program, const std::vector<std::string>& args,
                              const RunOptions& options, int outFd) {
  if (chdir(options.cwd.c_str()) != 0) _exit(126);
  if (dup2(outFd, STDOUT_FILENO) < 0) _exit(126);
  for (const int fd : options.closedFds) close(fd);
  for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  std::transform(args.begin(), args.end(), std::back_inserter(argv),
                 [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
  argv.push_back(nullptr);
  execve(program.c_str(), argv.data(), environ);
  _exit(127);
}

}  // namespace

RunResult rrRun(const std::string& program, const std::vector<std::string>& args,
                const RunOptions& options) {
  RunResult result;
  const auto start = std::chrono::steady_clock::now();
  int fds[2] = {-1, -1};
  int outFd = -1;
  if (options.stdoutPath.empty()) {
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    outFd = fds[1];
  } else {
    outFd = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outFd < 0) return result;
  }
  const pid_t pid = fork();
  if (pid == 0) vdExecChild(program, args, options, outFd);
  close(outFd);

  const auto deadline = start + std::chrono::seconds(options.timeoutSeconds);
  if (fds[0] >= 0) {
    char buf[65536];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        result.timedOut = true;
        break;
      }
      pollfd pfd{fds[0], POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      result.out.append(buf, static_cast<size_t>(n));
      if (options.onOutput) options.onOutput(result.out);
      if (options.closeStdoutEarly && result.out.find('\n') != std::string::npos) {
        result.out.resize(result.out.find('\n') + 1);
        break;
      }
    }
    close(fds[0]);
  }
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
