#ifndef QIUTILS_QIERROR_H
#define QIUTILS_QIERROR_H

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "FXCodeLocation.h"

// One step of an error's travel: the code location it passed and the message added there, if any.
struct FXErrorFrame {
  std::string file;
  std::string function;
  int line = 0;
  std::string message;
};

// The detail behind a failed CQiError: the Win32-style code and the location stack, innermost
// (where the error was raised) first. Shared between copies of one error.
struct FXErrorPrivate {
  unsigned int win32Code = 0;
  std::vector<FXErrorFrame> frames;
};

// The result of every operation: a signed status (negative means failure) and, for a failure, a
// shared stack of messages and code locations. Cheap to copy; success carries no allocation.
// Not thread-safe for concurrent Push on copies of the same failure.
class [[nodiscard]] CQiError {
 public:
  CQiError() : m_status(0) {}
  CQiError(int32_t status, boost::shared_ptr<FXErrorPrivate> detail)
      : m_status(status), m_detail(std::move(detail)) {}

  static CQiError Success() { return CQiError(); }

  bool IsError() const { return m_status < 0; }
  int32_t Status() const { return m_status; }

  // The Win32-style code of a failure, from its detail or else from its status; 0 for success.
  unsigned int Win32Code() const;
  // Every message of the stack, innermost first.
  std::vector<std::string> Messages() const;
  // One line per code location, innermost first: "file: function:line[: message]".
  std::vector<std::string> LocationStack() const;
  // The whole chain as readable text: code, then every location with its message.
  std::string ToString() const;

  // Returns the same failure with the location appended to its stack. A success stays a success.
  CQiError Push(const FXCodeLocation& location) const;
  // As above, with a printf-formatted message added at that location.
  CQiError Push(const FXCodeLocation& location, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));

  // Marks a result as deliberately dropped.
  void IgnoreError() const {}

 private:
  CQiError PushFrame(const FXCodeLocation& location, std::string message) const;

  int32_t m_status;
  boost::shared_ptr<FXErrorPrivate> m_detail;
};

#endif
