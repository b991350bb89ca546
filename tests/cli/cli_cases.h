// Table-driven runs of the programs: each case in a fresh, empty directory.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

struct CliCase {
  std::string program;
  std::vector<std::string> args;
  std::string expected;
  std::optional<std::string> settings = std::nullopt;  // content of ./db_config.cfg
};

inline RunOptions roIn(const std::string& dir) {
  RunOptions options;
  options.cwd = dir;
  return options;
}

// Checks the exact output and the exit status 0 of every case.
inline void vdExpectRuns(const std::vector<CliCase>& cases) {
  for (const CliCase& c : cases) {
    testing::Message trace;
    trace << c.program;
    for (const std::string& a : c.args) trace << " [" << a.substr(0, 16) << "](" << a.size() << ")";
    if (c.settings) trace << " with a settings file of " << c.settings->size() << " bytes";
    SCOPED_TRACE(trace);
    TempDir dir;
    if (c.settings) vdWriteFile(dir.sFile("db_config.cfg"), *c.settings);
    const RunResult r = rrRun(sProgram(c.program), c.args, roIn(dir.path));
    EXPECT_EQ(r.out, c.expected);
    EXPECT_EQ(r.exitStatus, 0);
  }
}
