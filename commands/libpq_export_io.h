// The chunk loop's world in the tool: a libpq session with the settings
// file's connection, the process's stop signals, and standard output or
// the export's own file.
#pragma once

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
  int copyBegin(const char* sql, DBFailure& why) override;
  int copyRow(std::span<char>& row, DBFailure& why) override;
  int copyEnd(DBFailure& why) override;
  int pause(int delayMs, DBFailure& why) override;
  void wait(int milliseconds) override;
  int stopSignal() override;
  int straightOutput() override;
  SpoolOut writeOut(Spool& spool, Day next) override;

  // Why writing to the file failed; empty for standard output.
  const std::string& fileReason() const { return fileReason_; }

 private:
  // Warns, once a run, that the advisory locks stayed after a chunk.
  void tellUnlockFailure();

  const DbConfig& config_;
  ResumableFile* file_;
  DbSession session_;
  std::string fileReason_;
  bool unlockTold_ = false;  // the failed release of advisory locks was told
};
