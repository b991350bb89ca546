// The chunk loop's world in the tool: a libpq session with the settings
// file's connection, the process's stop signals, and standard output or
// the export's own file.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "commands/export_io.h"
#include "config/db_config.h"
#include "db/session.h"
#include "util/resumable_file.h"

class LibpqExportIo final : public ExportIo {
 public:
  // `file`, when given, is where the rows go, with a checkpoint after each
  // chunk; otherwise they go to standard output.
  LibpqExportIo(const DbConfig& config, ResumableFile* file) : config_(config), file_(file) {}

  int connect(DBFailure& why) override;
  void disconnect() override;
  bool connectedAsSuperuser(std::string& role) override;
  std::string clientEncoding() override;
  int lookUpTable(TableFacts& facts, DBFailure& why) override;
  int copyRow(std::span<char>& row, DBFailure& why) override;
  int connectReader(int reader, DBFailure& why) override;
  int copyBeginOn(int reader, const char* sql, DBFailure& why) override;
  int copyEndOn(int reader, DBFailure& why) override;
  int beginShared(int reader, std::string_view snapshot, std::string_view settings,
                  DBFailure& why) override;
  int queryValue(int reader, const std::string& sql, std::string& value,
                 DBFailure& why) override;
  int copyStartOn(int reader, const char* sql, DBFailure& why) override;
  int copyRowIfIn(int reader, std::span<char>& row, DBFailure& why) override;
  void waitForRows(std::span<const int> readers) override;
  int pause(int delayMs, DBFailure& why) override;
  void wait(int milliseconds) override;
  int stopSignal() override;
  int straightOutput() override;
  SpoolOut writeOut(Spool& spool, Day next, bool chunkDone) override;

  // Why writing to the file failed; empty for standard output.
  const std::string& fileReason() const { return fileReason_; }

 private:
  // Warns, once a run, that the advisory locks stayed after a chunk.
  void tellUnlockFailure(DbSession& session);

  const DbConfig& config_;
  ResumableFile* file_;
  std::array<DbSession, kMostSessions> sessions_;  // the readers; [0] is the first connection
  std::string fileReason_;
  bool unlockTold_ = false;  // the failed release of advisory locks was told
};
