#ifndef QIUTILS_AUTO_FILEPTR_H
#define QIUTILS_AUTO_FILEPTR_H

#include <cstdio>

// Sole owner of one stdio stream: closes it when replaced or destroyed. Not copyable.
class auto_fileptr {
 public:
  explicit auto_fileptr(FILE* stream = nullptr) : m_stream(stream) {}
  ~auto_fileptr() { reset(nullptr); }
  auto_fileptr(const auto_fileptr&) = delete;
  auto_fileptr& operator=(const auto_fileptr&) = delete;

  FILE* get() const { return m_stream; }
  bool is_valid() const { return m_stream != nullptr; }

  // Closes the held stream, if any, and holds the new one.
  void reset(FILE* stream) {
    if (m_stream != nullptr) std::fclose(m_stream);
    m_stream = stream;
  }

  // Closes the held stream now and returns fclose's result (0 when nothing was held), for callers
  // that must know whether buffered data reached the file.
  int close() {
    FILE* stream = m_stream;
    m_stream = nullptr;
    return stream != nullptr ? std::fclose(stream) : 0;
  }

 private:
  FILE* m_stream;
};

#endif
