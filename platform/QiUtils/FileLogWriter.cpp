#include "FileLogWriter.h"

#include <sys/time.h>

#include <cstdarg>
#include <ctime>

#include "FXString.h"

CLogWriterInterface::~CLogWriterInterface() = default;

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter(new CFileLogWriter(0));

CFileLogWriter::CFileLogWriter(int level) : m_stream(stderr), m_ownsStream(false), m_level(level) {}

CFileLogWriter::~CFileLogWriter() {
  if (m_ownsStream) std::fclose(m_stream);
}

bool CFileLogWriter::Open(const char* target) {
  std::string name = target ? target : "";
  FILE* stream = stderr;
  bool owns = false;
  if (!name.empty() && name != "-") {
    stream = std::fopen(name.c_str(), "a");
    if (stream == nullptr) return false;
    owns = true;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_ownsStream) std::fclose(m_stream);
  m_stream = stream;
  m_ownsStream = owns;
  return true;
}

void CFileLogWriter::Write(int level, const char* function, int line, int, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FXString::FormatV(format, args);
  va_end(args);

  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);

  std::lock_guard<std::mutex> lock(m_mutex);
  const int written = std::fprintf(m_stream, "%s.%03ld [L%d] %s:%d %s\n", stamp,
                                   static_cast<long>(now.tv_usec / 1000), level, function ? function : "", line,
                                   message.c_str());
  // Every line reaches the file at once: a job killed mid-way must still show what it did,
  // the snapshots it deleted above all.
  if (std::fflush(m_stream) != 0 || written < 0) m_writeFailed = true;
}

void CFileLogWriter::Flush() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (std::fflush(m_stream) != 0) m_writeFailed = true;
}
