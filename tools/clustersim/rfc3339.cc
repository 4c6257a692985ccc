#include "clustersim/rfc3339.h"

#include <cstdio>
#include <ctime>

namespace clustersim {

std::string FormatRfc3339(int64_t seconds, int64_t nanoseconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  struct tm utc = {};
  char text[64];
  if (::gmtime_r(&time, &utc) == nullptr) return "1970-01-01T00:00:00.000000000Z";
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(nanoseconds % 1000000000));
  return text;
}

}  // namespace clustersim
