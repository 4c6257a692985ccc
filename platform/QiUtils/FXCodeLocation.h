#ifndef QIUTILS_FXCODELOCATION_H
#define QIUTILS_FXCODELOCATION_H

// Where a failure was raised or passed through: source file, the function's signature text, line.
// A plain value; the strings are not owned (callers pass literals).
class FXCodeLocation {
 public:
  FXCodeLocation(const char* file, const char* function, int line)
      : m_file(file), m_function(function), m_line(line) {}

  const char* File() const { return m_file; }
  const char* Function() const { return m_function; }
  int Line() const { return m_line; }

 private:
  const char* m_file;
  const char* m_function;
  int m_line;
};

#endif
