#ifndef TESTS_FRAMEWORK_CAPTURINGLOGWRITER_H
#define TESTS_FRAMEWORK_CAPTURINGLOGWRITER_H

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "FXString.h"
#include "LogWriter.h"

// A log writer that keeps every line it is given, for tests that check what was logged. Thread-safe.
class CapturingLogWriter : public CLogWriterInterface {
 public:
  struct Line {
    int level;
    std::string function;
    std::string text;
  };

  explicit CapturingLogWriter(int level) : m_level(level) {}

  bool Open(const char*) override { return true; }
  void Write(int level, const char* function, int, int, int, const char* format, ...) override {
    va_list args;
    va_start(args, format);
    std::string text = FXString::FormatV(format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(Line{level, function ? function : "", text});
  }
  void Flush() override {}
  int GetLevel() const override { return m_level; }
  void SetLevel(int level) override { m_level = level; }

  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const Line& line : Lines()) out.push_back(line.text);
    return out;
  }
  std::string AllText() {
    std::string all;
    for (const Line& line : Lines()) all += line.text + "\n";
    return all;
  }
  bool Contains(const std::string& text) {
    for (const Line& line : Lines()) {
      if (line.text == text) return true;
    }
    return false;
  }
  bool AnyContains(const std::string& fragment) {
    for (const Line& line : Lines()) {
      if (line.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<Line> m_lines;
  int m_level;
};

// Installs a capturing writer as the global log writer for one scope, restoring the previous one.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(int level = 10)
      : m_previous(g_ptrLogWriter), m_writer(boost::make_shared<CapturingLogWriter>(level)) {
    g_ptrLogWriter = m_writer;
  }
  ~ScopedLogCapture() { g_ptrLogWriter = m_previous; }
  CapturingLogWriter& operator*() { return *m_writer; }
  CapturingLogWriter* operator->() { return m_writer.get(); }

 private:
  boost::shared_ptr<CLogWriterInterface> m_previous;
  boost::shared_ptr<CapturingLogWriter> m_writer;
};

#endif
