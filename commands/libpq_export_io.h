// The chunk loop's world in the tool: a libpq session with the settings
// file's connection, the process's stop signals and standard output.
#pragma once

#include "commands/export_io.h"
#include "config/db_config.h"
#include "db/session.h"

class LibpqExportIo final : public ExportIo {
 public:
  explicit LibpqExportIo(const DbConfig& config) : config_(config) {}

  int connect(DBFailure& why) override;
  void disconnect() override;
  bool connectedAsSuperuser(std::string& role) override;
  int copyBegin(const char* sql, DBFailure& why) override;
  int copyRow(std::span<char>& row, DBFailure& why) override;
  int copyEnd(DBFailure& why) override;
  int pause(int delayMs, DBFailure& why) override;
  void wait(int milliseconds) override;
  int stopSignal() override;
  SpoolOut writeOut(Spool& spool) override;

 private:
  const DbConfig& config_;
  DbSession session_;
};
