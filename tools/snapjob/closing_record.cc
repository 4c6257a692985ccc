#include "closing_record.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "job_records.h"
#include "log_writer.h"

namespace snapjob {
namespace {

std::atomic<bool> g_enabled{false};
std::atomic<bool> g_stopping{false};
bool g_closed = false;  // guarded by standard output's stream lock

// A log that lost lines is told in the closing record, whatever the outcome.
JsonRecord& WithLogState(JsonRecord& record) {
  if (LogIncomplete()) record.Bool("log_incomplete", true);
  return record;
}

void WriteLocked(const std::string& line) {
  if (!g_enabled.load() || g_closed) return;
  g_closed = true;
  std::fwrite(line.data(), 1, line.size(), stdout);
}

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGPIPE: return "SIGPIPE";
    default: return "unknown";
  }
}

}  // namespace

void EnableClosingRecord() { g_enabled = true; }

void MarkStopping() { g_stopping = true; }

void ParkIfStopping() {
  // The signal thread ends the process; this thread only keeps out of its way.
  while (g_stopping.load(std::memory_order_relaxed)) ::pause();
}

void WriteClosingRecord(const std::string& line) {
  ::flockfile(stdout);
  WriteLocked(line);
  ::funlockfile(stdout);
}

std::string FailureRecord(const std::string& operation, const CQiError& error, int exit_status) {
  JsonRecord record("error");
  record.Text("operation", operation)
      .Number("code", error.Win32Code())
      .TextList("messages", error.Messages())
      .TextList("locations", error.LocationStack())
      .Number("exit_status", static_cast<uint64_t>(exit_status));
  return WithLogState(record).Line();
}

std::string DriverErrorRecord(const std::string& operation, const std::string& reason, int exit_status) {
  JsonRecord record("error");
  record.Text("operation", operation)
      .Null("code")
      .TextList("messages", {reason})
      .TextList("locations", {})
      .Number("exit_status", static_cast<uint64_t>(exit_status));
  return WithLogState(record).Line();
}

void WriteSignalRecord(int signal_number) {
  JsonRecord record("error");
  record.Null("operation")
      .Null("code")
      .Text("signal", SignalName(signal_number))
      .TextList("messages", {std::string("stopped by ") + SignalName(signal_number)})
      .TextList("locations", {})
      .Number("exit_status", static_cast<uint64_t>(128 + signal_number));
  WriteLocked(WithLogState(record).Line());
}

}  // namespace snapjob
