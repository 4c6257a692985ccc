#include "log_writer.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "FXString.h"
#include "job_records.h"

namespace snapjob {

DriverLogWriter::DriverLogWriter(int level, StatusLine* status_line) : file_(level), status_line_(status_line) {}

bool DriverLogWriter::Open(const char* target) {
  const std::string name = target ? target : "";
  if (!file_.Open(target)) return false;
  to_stderr_ = name.empty() || name == "-";
  return true;
}

void DriverLogWriter::Write(int level, const char* function, int line, int, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list tapped;
  va_copy(tapped, args);
  JobLogTap::Instance().Observe(format, tapped);
  va_end(tapped);
  if (level > file_.GetLevel()) {
    va_end(args);
    return;
  }
  const std::string message = FXString::FormatV(format, args);
  va_end(args);
  if (!to_stderr_) {
    file_.Write(level, function, line, 0, 0, "%s", message.c_str());
    return;
  }
  status_line_->WriteAbove([&] { file_.Write(level, function, line, 0, 0, "%s", message.c_str()); });
}

bool InstallLogWriter(const std::string& target, int level, std::string* error) {
  boost::shared_ptr<DriverLogWriter> writer(new DriverLogWriter(level, &StatusLine::Stderr()));
  if (!writer->Open(target.c_str())) {
    *error = "cannot open the log file " + target + ": " + std::strerror(errno);
    return false;
  }
  g_ptrLogWriter = writer;
  return true;
}

bool LogIncomplete() {
  const DriverLogWriter* writer = dynamic_cast<const DriverLogWriter*>(g_ptrLogWriter.get());
  return writer != nullptr && writer->Incomplete();
}

}  // namespace snapjob
