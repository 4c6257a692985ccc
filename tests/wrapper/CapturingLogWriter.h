#ifndef WRAPPER_TEST_CAPTURINGLOGWRITER_H
#define WRAPPER_TEST_CAPTURINGLOGWRITER_H

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "FXString.h"
#include "LogWriter.h"

// Keeps every line written through g_ptrLogWriter while it is installed. Thread-safe.
class CapturingLogWriter : public CLogWriterInterface {
 public:
  struct Line {
    int level;
    std::string text;
  };

  explicit CapturingLogWriter(int level) : m_level(level) {}

  bool Open(const char*) override { return true; }
  void Write(int level, const char* function, int line, int, int, const char* format, ...) override
      __attribute__((format(printf, 7, 8))) {
    va_list args;
    va_start(args, format);
    std::string text = FXString::FormatV(format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({level, std::string(function ? function : "") + ":" + std::to_string(line) + " " + text});
  }
  void Flush() override {}
  int GetLevel() const override { return m_level; }
  void SetLevel(int level) override { m_level = level; }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  std::string AllText() const {
    std::string all;
    for (const auto& line : Lines()) all += line.text + "\n";
    return all;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;
  int m_level;
};

// Installs a capturing writer as g_ptrLogWriter for its lifetime and restores the previous one.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(int level = 6)
      : m_previous(g_ptrLogWriter), m_writer(boost::make_shared<CapturingLogWriter>(level)) {
    g_ptrLogWriter = m_writer;
  }
  ~ScopedLogCapture() { g_ptrLogWriter = m_previous; }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  CapturingLogWriter& writer() { return *m_writer; }

 private:
  boost::shared_ptr<CLogWriterInterface> m_previous;
  boost::shared_ptr<CapturingLogWriter> m_writer;
};

#endif
