// The status line of an export, shown on standard error when it is a
// terminal: chunk i of n and its days, rows so far, rows per second, the
// time elapsed and an estimate of the rest. Nothing is shown otherwise.
#pragma once

#include <chrono>
#include <cstdint>

#include "commands/days.h"

struct ExportProgress {
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point shown;  // the last update on the screen
  bool everShown = false;
  int chunkCount = 1;     // chunks in all
  int currentChunk = 0;   // the chunk being fetched, from 1
  int chunksDone = 0;     // chunks finished
  int64_t rowsSoFar = 0;
  Day first{};            // the current chunk's days
  Day last{};
};

// Starts the clock for an export of `chunkCount` chunks.
void progressBegins(ExportProgress& progress, int chunkCount);

// A chunk over `first`..`last` starts.
void progressChunkStarts(ExportProgress& progress, Day first, Day last);

// `rows` more rows of the current chunk have arrived.
void progressRowsArrived(ExportProgress& progress, int64_t rows);

// The current chunk is out.
void progressChunkEnds(ExportProgress& progress);
