// Table-driven runs of the programs: each case in a fresh, empty directory.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/expect_stderr.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

// Field widths of the 180-byte settings record: host address, port, user,
// password, database name.
inline constexpr size_t kSettingsWidths[] = {21, 6, 51, 51, 51};

// The settings record of `values`, each zero-padded to its field's width.
inline std::string settingsRecord(const std::vector<std::string>& values) {
  std::string record;
  for (size_t i = 0; i < 5; ++i)
    record += values[i] + std::string(kSettingsWidths[i] - values[i].size(), '\0');
  return record;
}

struct CliCase {
  std::string program;
  std::vector<std::string> args;
  std::string expected;
  // A fragment standard error must contain; empty: standard error stays empty.
  std::string errHas = {};
  std::optional<std::string> settings = std::nullopt;  // content of ./db_config.cfg
  std::vector<std::string> env = {};                    // NAME=value for the run
  // When set, the case runs a second time with LUMETTOOL_EXIT_STATUS=on: the
  // same output, and this exit status.
  std::optional<int> statusWhenOn = std::nullopt;
};

// `c` with the exit status it must end with when LUMETTOOL_EXIT_STATUS=on.
inline CliCase exitsWhenOn(int status, CliCase c) {
  c.statusWhenOn = status;
  return c;
}

// Every line on standard error is one of the program's own: "PROGRAM: ...".
inline void expectOwnLines(const std::string& err, const std::string& program) {
  size_t start = 0;
  while (start < err.size()) {
    const size_t end = err.find('\n', start);
    EXPECT_EQ(err.compare(start, program.size() + 2, program + ": "), 0)
        << "a line of standard error: " << err.substr(start, end - start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "standard error does not end with a newline: " << err;
      break;
    }
    start = end + 1;
  }
}

inline RunOptions optionsIn(const std::string& dir) {
  RunOptions options;
  options.cwd = dir;
  return options;
}

// Checks the exact output, standard error and the exit status of every
// case: 0, and statusWhenOn in the second run of the cases that have one.
inline void expectRuns(const std::vector<CliCase>& cases) {
  for (const CliCase& c : cases) {
    for (const bool on : {false, true}) {
      if (on && !c.statusWhenOn) continue;
      testing::Message trace;
      trace << c.program;
      for (const std::string& a : c.args) trace << " [" << a.substr(0, 16) << "](" << a.size() << ")";
      if (c.settings) trace << " with a settings file of " << c.settings->size() << " bytes";
      if (on) trace << " with LUMETTOOL_EXIT_STATUS=on";
      SCOPED_TRACE(trace);
      TempDir dir;
      if (c.settings) writeFile(dir.pathOf("db_config.cfg"), *c.settings);
      RunOptions options = optionsIn(dir.path);
      options.env = c.env;
      if (on) options.env.emplace_back("LUMETTOOL_EXIT_STATUS=on");
      const RunResult r = runProgram(programPath(c.program), c.args, options);
      EXPECT_EQ(r.out, c.expected);
      EXPECT_EQ(r.exitStatus, on ? *c.statusWhenOn : 0);
      expectStderr(r.err, c.errHas);
      expectOwnLines(r.err, c.program);
    }
  }
}
