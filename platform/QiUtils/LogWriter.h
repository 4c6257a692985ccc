#ifndef QIUTILS_LOGWRITER_H
#define QIUTILS_LOGWRITER_H

#include <boost/shared_ptr.hpp>

// The agent's log writer interface. Implementations must be safe to call from any thread.
// Slot order matters to binary callers: Write stands before GetLevel.
class CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();

  // Where the lines go (a file name; "" or "-" for standard error). False when it cannot be opened.
  virtual bool Open(const char* target) = 0;
  // Writes one line: level, the function's signature text, source line, two reserved integers
  // (always 0), then a printf format and its arguments.
  virtual void Write(int level, const char* function, int line, int reserved1, int reserved2,
                     const char* format, ...) __attribute__((format(printf, 7, 8))) = 0;
  virtual void Flush() = 0;
  // The current level: a line is written when this is at least the line's level.
  virtual int GetLevel() const = 0;
  virtual void SetLevel(int level) = 0;
};

// The process-wide log writer, owned by the agent. Our stand-in starts with a standard-error writer
// at level 0; the agent replaces it before it loads the plug-in.
extern boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// True when a line of this level would be written by the global writer. The agent keeps the writer
// for the library's whole life, so no reference is taken here: this runs once per change item.
inline bool FXLogEnabled(int level) {
  CLogWriterInterface* writer = g_ptrLogWriter.get();
  return writer != nullptr && writer->GetLevel() >= level;
}

#endif
