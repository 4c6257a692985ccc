#include "clustersim/rfc3339.h"

#include <algorithm>
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

std::string FormatRfc3339(std::chrono::system_clock::time_point time) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  return FormatRfc3339(ns / 1000000000, ns % 1000000000);
}

bool ParseRfc3339(const std::string& text, std::chrono::system_clock::time_point* out) {
  struct tm utc = {};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*[Tt]%2d:%2d:%2d%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                  &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &consumed) != 6 ||
      consumed != 19) {
    return false;
  }
  if (utc.tm_mon < 1 || utc.tm_mon > 12 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 ||
      utc.tm_min > 59 || utc.tm_sec > 60) {
    return false;
  }
  size_t i = 19;
  int64_t nanoseconds = 0;
  if (i < text.size() && text[i] == '.') {
    int64_t scale = 100000000;
    size_t digits = 0;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
      nanoseconds += (text[i] - '0') * scale;
      scale /= 10;
    }
    if (digits == 0) return false;
  }
  int64_t offset_seconds = 0;
  if (i + 1 == text.size() && (text[i] == 'Z' || text[i] == 'z')) {
    ++i;
  } else if (i + 6 == text.size() && (text[i] == '+' || text[i] == '-') && text[i + 3] == ':') {
    int hours = 0, minutes = 0;
    if (std::sscanf(text.c_str() + i + 1, "%2d:%2d", &hours, &minutes) != 2 || hours > 23 || minutes > 59) {
      return false;
    }
    offset_seconds = (text[i] == '+' ? 1 : -1) * (hours * 3600 + minutes * 60);
    i += 6;
  }
  if (i != text.size()) return false;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  // Kept within what a nanosecond clock holds: later is as good as never.
  constexpr int64_t kYear2200 = 7258118400;
  int64_t seconds = std::min<int64_t>(std::max<int64_t>(static_cast<int64_t>(::timegm(&utc)) - offset_seconds, 0),
                                      kYear2200);
  *out = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(seconds) +
                                                                     std::chrono::nanoseconds(nanoseconds)));
  return true;
}

}  // namespace clustersim
