#ifndef QIUTILS_FXERRORUTIL_H
#define QIUTILS_FXERRORUTIL_H

#include "FXCodeLocation.h"
#include "QiError.h"

// Builds failures from Win32-style codes. A code becomes the negative status 0x80070000 | code.
class FXErrorUtil {
 public:
  static CQiError ErrorWin32(const FXCodeLocation& location, unsigned int code);
  static CQiError ErrorWin32(const FXCodeLocation& location, unsigned int code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // The status that ErrorWin32 gives a code.
  static int32_t StatusFromWin32(unsigned int code);
};

#endif
