#ifndef QIUTILS_FILELOGWRITER_H
#define QIUTILS_FILELOGWRITER_H

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "LogWriter.h"

// Writes one line per call to a file (appending) or to standard error:
// "2026-12-06 07:01:02.345 [L0] function:line message", each line flushed as it is written.
// Thread-safe.
class CFileLogWriter : public CLogWriterInterface {
 public:
  explicit CFileLogWriter(int level = 0);
  ~CFileLogWriter() override;

  bool Open(const char* target) override;
  void Write(int level, const char* function, int line, int reserved1, int reserved2,
             const char* format, ...) override __attribute__((format(printf, 7, 8)));
  void Flush() override;
  int GetLevel() const override { return m_level.load(); }
  void SetLevel(int level) override { m_level.store(level); }
  // True once a line could not be written whole (a full disk): the log is incomplete.
  bool WriteFailed() const { return m_writeFailed.load(); }

 private:
  std::mutex m_mutex;
  FILE* m_stream;  // stderr or an owned file
  bool m_ownsStream;
  std::atomic<int> m_level;
  std::atomic<bool> m_writeFailed{false};
};

#endif
