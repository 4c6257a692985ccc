// The log writer that snapjob installs as the agent's global writer before it creates a snap
// client: the framework's file writer, to a file or to standard error, where it writes around the
// progress meter's status line. Thread-safe.
#ifndef SNAPJOB_LOG_WRITER_H_
#define SNAPJOB_LOG_WRITER_H_

#include <algorithm>
#include <string>

#include <boost/shared_ptr.hpp>

#include "FileLogWriter.h"
#include "LogWriter.h"
#include "status_line.h"

namespace snapjob {

class DriverLogWriter : public CLogWriterInterface {
 public:
  DriverLogWriter(int level, StatusLine* status_line);

  // A file name, or "" / "-" for standard error.
  bool Open(const char* target) override;
  void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* format,
             ...) override __attribute__((format(printf, 7, 8)));
  void Flush() override { file_.Flush(); }
  // Never below 0 for the plug-in: its level-0 lines feed the job records even when the person
  // asked for no log at all; Write then drops them.
  int GetLevel() const override { return std::max(0, file_.GetLevel()); }
  void SetLevel(int level) override { file_.SetLevel(level); }
  bool Incomplete() const { return file_.WriteFailed(); }

 private:
  CFileLogWriter file_;
  StatusLine* status_line_;
  bool to_stderr_ = true;
};

// Makes a writer for `target` ("" for standard error) at `level` and installs it as the global
// writer. False, with the global writer unchanged, when the target cannot be opened.
bool InstallLogWriter(const std::string& target, int level, std::string* error);

// True when the installed writer could not write every line (a full disk).
bool LogIncomplete();

}  // namespace snapjob

#endif  // SNAPJOB_LOG_WRITER_H_
