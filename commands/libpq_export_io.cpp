#include "commands/libpq_export_io.h"

#include "util/stop_signals.h"

int LibpqExportIo::connect(DBFailure& why) { return dbConnect(session_, config_, &why); }

void LibpqExportIo::disconnect() { dbDisconnect(session_); }

bool LibpqExportIo::connectedAsSuperuser(std::string& role) {
  return dbConnectedAsSuperuser(session_, role);
}

int LibpqExportIo::copyBegin(const char* sql, DBFailure& why) {
  return dbCopyBegin(session_, sql, why);
}

int LibpqExportIo::copyRow(std::span<char>& row, DBFailure& why) {
  return dbCopyRow(session_, row, why);
}

int LibpqExportIo::copyEnd(DBFailure& why) { return dbCopyEnd(session_, why); }

int LibpqExportIo::pause(int delayMs, DBFailure& why) { return dbPause(session_, delayMs, &why); }

void LibpqExportIo::wait(int milliseconds) { waitUnlessStopped(milliseconds); }

int LibpqExportIo::stopSignal() { return ::stopSignal(); }

SpoolOut LibpqExportIo::writeOut(Spool& spool) { return spoolOut(spool); }
