#include "commands/libpq_export_io.h"

#include <unistd.h>

#include <cerrno>

#include "util/diagnostics.h"
#include "util/output.h"
#include "util/stop_signals.h"

int LibpqExportIo::connect(DBFailure& why) { return dbConnect(session_, config_, &why); }

void LibpqExportIo::disconnect() { dbDisconnect(session_); }

bool LibpqExportIo::connectedAsSuperuser(std::string& role) {
  return dbConnectedAsSuperuser(session_, role);
}

std::string LibpqExportIo::clientEncoding() { return dbClientEncoding(session_); }

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

int LibpqExportIo::straightOutput() {
  if (file_ != nullptr) return file_->part.fd;
  return outputStart().regularFile && !errorsShareOutput() ? STDOUT_FILENO : -1;
}

SpoolOut LibpqExportIo::writeOut(Spool& spool, Day next) {
  if (file_ == nullptr) return spoolOut(spool);
  SpoolOut out = spoolOutTo(spool, file_->part.fd);
  if (out.fault == SpoolOutFault::kOutput) {
    fileReason_ = "cannot write to " + quoted(file_->partPath, 256) + ": " + systemError(errno);
    // What got in of the chunk goes again; if that fails too, the next run
    // cuts it off by the checkpoint.
    (void)resumableCutBack(*file_);
  } else if (out.fault == SpoolOutFault::kNone && !resumableCommit(*file_, argumentText(next))) {
    fileReason_ = file_->reason;
    out.fault = SpoolOutFault::kOutput;
  }
  return out;
}
