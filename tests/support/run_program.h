// Runs one of the built programs as a child process and captures its output.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct RunOptions {
  std::string cwd = ".";              // working directory of the child
  std::vector<std::string> env;       // extra NAME=value entries (override)
  std::string stdoutPath;             // when set, stdout goes to this file instead
  bool stdoutAppend = false;          // that file is opened for appending (>>), not emptied
  bool closeStdoutEarly = false;      // read one line, then close the pipe
  bool stdoutReaderGone = false;      // stdout is a pipe whose reader has already gone
  int timeoutSeconds = 30;            // the child is killed after this
  std::vector<int> closedFds;         // descriptors (0, 1, 2) the child starts without
  // Called with everything read so far each time more output arrives, while
  // the child goes on running: lets a test act at a chosen point of a run.
  std::function<void(const std::string& out)> onOutput;
  // Called with the child's process id once it has started.
  std::function<void(int pid)> started;
  int uid = -1;                       // when >= 0 (needs root): the child runs as this
  int gid = -1;                       // user and group, without supplementary groups
  long fileSizeLimit = -1;            // when >= 0: RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  bool mergeStderr = false;           // stderr goes where stdout goes (2>&1)
  bool stderrTerminal = false;        // stderr is a pseudo-terminal, read into err
  // When >= 0: stdout is this descriptor, which the caller keeps, reads
  // itself or leaves unread (a pipe nobody reads), and closes.
  int stdoutFd = -1;
  std::vector<int> ignoredSignals;    // the child starts with these ignored (as under nohup)
};

struct RunResult {
  std::string out;      // everything written to stdout (or the first line)
  std::string err;      // everything written to stderr, unless it was merged
  int exitStatus = -1;  // exit status, or -1 when it did not exit normally
  int termSignal = 0;   // the signal that ended it, if any
  bool timedOut = false;
  double seconds = 0;   // wall time
};

// Full path of a program in the build's bin directory.
std::string programPath(const std::string& name);

// Runs `program` (a full path) with `args` (program name not included).
// Safe to call from several threads at once.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

struct RunJob {
  std::string program;
  std::vector<std::string> args;
  RunOptions options;
};

// Runs every job, `workers` at a time; the results are in the jobs' order.
std::vector<RunResult> runAll(const std::vector<RunJob>& jobs, int workers);

// `text` without its lines ('\n' included) that contain `marker`.
std::string withoutLines(const std::string& text, const std::string& marker);

// What a run connected as a superuser warns of, once: the tests' cluster
// role is one, so the helpers that run the export take that line out, and
// one test checks it.
inline const std::string kSuperuserWarning = ", a superuser: ";

// Makes `options` run the program as a user without privileges: "nobody"
// when the tests run as root, the current user (nothing to change)
// otherwise. False when root and there is no such user. The program then
// needs its working directory and files opened up to that user.
bool dropPrivileges(RunOptions& options);
