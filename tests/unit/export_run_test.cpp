// The chunk loop on a script: for each fault at each step, how the export
// ends, where it says to go on, and that what it wrote is exactly the rows
// of the days before that point.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "commands/export_run.h"
#include "tests/unit/scripted_export_io.h"

namespace {

constexpr Day kFrom = std::chrono::year{2024} / 1 / 1;

struct LoopCase {
  std::string name;
  int span;  // days in the range, from 2024-01-01
  int days;  // chunk length
  int retries;
  std::vector<ScriptedFault> faults;
  ChunksEnd end;
  int next;  // the day to go on from, in days after kFrom
  bool pausing = false;
  std::vector<int> waits = {};
  std::string datetimeType = "timestamp without time zone";  // the column's type, found once
  int lookUps = 1;
  // Run with this many jobs only; 0: with one, and reading ahead on three.
  int onlyJobs = 0;
};

// The rows the script gives for the days from kFrom on, before `next`.
std::string rowsBefore(int next) {
  std::string rows;
  for (int d = 0; d < next; ++d) rows += isoText(kFrom + std::chrono::days{d}) + "|v\n";
  return rows;
}

TEST(ExportLoop, EndsWhereItSaysAndWritesExactlyTheDaysBefore) {
  const std::vector<LoopCase> cases = {
      {"every chunk", 5, 2, 5, {}, ChunksEnd::kDone, 5},
      {"one statement for the range", 5, 0, 5, {}, ChunksEnd::kDone, 5},
      {"a lost connection mid-rows is retried", 5, 2, 5,
       {{Step::kCopyRow, 4, Fault::kLost}}, ChunksEnd::kDone, 5, false, {1000}},
      {"a lost connection at the chunk's end is retried", 4, 2, 5,
       {{Step::kCopyEnd, 2, Fault::kLost}}, ChunksEnd::kDone, 4, false, {1000}},
      // Written straight into the file, its first two rows are there.
      {"a chunk refused after two rows leaves none of them", 6, 3, 5,
       {{Step::kCopyRow, 3, Fault::kRefused}}, ChunksEnd::kStatementFailed, 0},
      {"a refused statement ends after the chunks before", 6, 2, 5,
       {{Step::kCopyRow, 5, Fault::kRefused}}, ChunksEnd::kStatementFailed, 2},
      {"retries spent, the waits doubling", 3, 1, 3,
       {{Step::kCopyBegin, 0, Fault::kLost}}, ChunksEnd::kStatementFailed, 0, false,
       {1000, 2000, 4000}},
      {"a connection that fails again is retried too", 3, 1, 2,
       {{Step::kCopyBegin, 2, Fault::kLost}, {Step::kConnect, 2, Fault::kLost}},
       ChunksEnd::kDone, 3, false, {1000, 2000}, "timestamp", 1, 1},
      // The connect that fails is the second reader's: the export goes on
      // without it.
      {"reading ahead, a reader that cannot connect is left out", 3, 1, 2,
       {{Step::kCopyBegin, 2, Fault::kLost}, {Step::kConnect, 2, Fault::kLost}},
       ChunksEnd::kDone, 3, false, {1000}, "timestamp", 1, 3},
      {"a lost connection in the pause reconnects", 4, 2, 5,
       {{Step::kPause, 1, Fault::kLost}}, ChunksEnd::kDone, 4, false, {1000}},
      {"no retries: the pause's loss ends it", 4, 2, 0,
       {{Step::kPause, 1, Fault::kLost}}, ChunksEnd::kConnectionLost, 2, true},
      {"a stop while rows come drops the chunk", 6, 2, 5,
       {{Step::kCopyRow, 5, Fault::kStop}}, ChunksEnd::kStopped, 2, false, {}, "timestamp", 1, 1},
      {"a stop while BEGIN runs", 6, 2, 5,
       {{Step::kCopyBegin, 2, Fault::kStop}}, ChunksEnd::kStopped, 2, false, {}, "timestamp", 1, 1},
      {"a stop after the rows, before the write-out", 6, 2, 5,
       {{Step::kCopyEnd, 2, Fault::kStop}}, ChunksEnd::kStopped, 2, false, {}, "timestamp", 1, 1},
      // Read ahead, the second chunk's rows come with the first's: the
      // first is out when the stop is seen, the second is dropped.
      {"reading ahead, a stop keeps the chunks out before it", 6, 2, 5,
       {{Step::kCopyRow, 5, Fault::kStop}}, ChunksEnd::kStopped, 2, true, {}, "timestamp", 1, 3},
      {"reading ahead, a stop before any rows drops all", 6, 2, 5,
       {{Step::kCopyBegin, 2, Fault::kStop}}, ChunksEnd::kStopped, 0, false, {}, "timestamp", 1, 3},
      // The chunk being written when the signal came is out whole: the
      // point to go on from is after it, or following the hint doubles it.
      {"a stop during the write-out counts the chunk", 6, 2, 5,
       {{Step::kWriteOut, 1, Fault::kStop}}, ChunksEnd::kStopped, 2, true},
      {"a stop during the last write-out is success", 4, 2, 5,
       {{Step::kWriteOut, 2, Fault::kStop}}, ChunksEnd::kDone, 4},
      {"a stop in the pause", 6, 2, 5,
       {{Step::kPause, 2, Fault::kStop}}, ChunksEnd::kStopped, 4, true},
      {"a stop while waiting to retry", 6, 2, 5,
       {{Step::kCopyRow, 4, Fault::kLost}, {Step::kWait, 1, Fault::kStop}},
       ChunksEnd::kStopped, 2, false, {1000}},
      {"a full disk keeps only whole chunks", 6, 2, 5,
       {{Step::kWriteOut, 2, Fault::kFullDisk}}, ChunksEnd::kOutputFailed, 2},
      {"the first connection refused for good", 3, 1, 5,
       {{Step::kConnect, 1, Fault::kRefused}}, ChunksEnd::kCannotConnect, 0, false, {}, "", 0},
      {"the first connection retried", 3, 1, 5,
       {{Step::kConnect, 1, Fault::kLost}}, ChunksEnd::kDone, 3, false, {1000}},
      {"a stop before connecting", 3, 1, 5,
       {{Step::kConnect, 1, Fault::kStop}}, ChunksEnd::kStopped, 0, false, {}, "", 0},
      // The table is looked up once, before the first chunk.
      {"a missing table stops before any chunk", 3, 1, 5,
       {{Step::kLookUp, 1, Fault::kRefused}}, ChunksEnd::kTableRefused, 0},
      {"a lost connection in the look-up is retried", 3, 1, 5,
       {{Step::kLookUp, 1, Fault::kLost}}, ChunksEnd::kDone, 3, false, {1000}, "date", 2},
      {"no retries: the look-up's loss ends it", 3, 1, 0,
       {{Step::kLookUp, 1, Fault::kLost}}, ChunksEnd::kTableRefused, 0},
      {"a stop in the look-up", 3, 1, 5,
       {{Step::kLookUp, 1, Fault::kStop}}, ChunksEnd::kStopped, 0},
      {"a text datetime is refused before any chunk", 3, 1, 5, {}, ChunksEnd::kTableRefused, 0,
       false, {}, "text"},
      {"a date datetime is exported", 3, 1, 5, {}, ChunksEnd::kDone, 3, false, {}, "date"},
  };
  // Each case with the rows held in the spool until their chunk is
  // complete, and written straight into a file and cut back when it fails.
  for (const int jobs : {1, 3}) {
  for (const bool straight : {false, true}) {
  for (const LoopCase& c : cases) {
    if (straight && c.end == ChunksEnd::kOutputFailed) continue;  // the script's own disk
    if (c.onlyJobs != 0 && c.onlyJobs != jobs) continue;
    SCOPED_TRACE(c.name + (straight ? ", straight into the file" : ", spooled") + ", jobs " + std::to_string(jobs));
    ScriptedExportIo io(c.faults, straight);
    if (!c.datetimeType.empty()) io.table.datetimeType = c.datetimeType;
    io.table.datetimeDays = c.datetimeType != "text";
    ExportJob job{};
    job.fields = "*";
    job.format = OutputFormat::kText;
    job.from = kFrom;
    job.to = kFrom + std::chrono::days{c.span - 1};
    job.days = c.days;
    job.retries = c.retries;
    job.jobs = jobs;
    job.spoolDirectory = "/tmp";
    // With a pause between them, chunks are read one at a time whatever
    // the jobs: the pause's faults strike the same.
    const bool pauses = std::any_of(c.faults.begin(), c.faults.end(),
                                    [](const ScriptedFault& f) { return f.step == Step::kPause; });
    job.delayMs = pauses ? 1 : 0;
    // Straight into the file, rows go out as they come, so a chunk that
    // fails has to be cut back.
    if (straight) job.spoolMemory = 20;
    const ExportResult result = runChunks(io, job);
    EXPECT_EQ(result.end, c.end);
    EXPECT_EQ(daysBetween(kFrom, result.next), c.next);
    EXPECT_EQ(result.pausing, c.pausing);
    EXPECT_EQ(io.waits, c.waits);
    // Exactly the days before the point to go on from are complete; a
    // failed write may have left part of the next chunk after them.
    const std::string complete = rowsBefore(c.next);
    EXPECT_EQ(result.completeBytes, complete.size());
    const std::string out = io.output();
    EXPECT_EQ(out.substr(0, complete.size()), complete);
    if (c.end != ChunksEnd::kOutputFailed) {
      EXPECT_EQ(out, complete);
    }
    // Looked up once a run, not again for chunks that are retried.
    EXPECT_EQ(io.lookUps, c.lookUps);
  }
  }
  }
}

}  // namespace
