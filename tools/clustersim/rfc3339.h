// Times as the cluster's API writes them: RFC 3339 in UTC with nanoseconds,
// e.g. "2024-02-04T19:29:48.136708478Z", and as clients may send them.
// Stateless; thread-safe.
#ifndef CLUSTERSIM_RFC3339_H_
#define CLUSTERSIM_RFC3339_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace clustersim {

std::string FormatRfc3339(int64_t seconds, int64_t nanoseconds);

// The same for a point of the system clock (at or after 1970).
std::string FormatRfc3339(std::chrono::system_clock::time_point time);

// Reads "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)". False for anything else.
bool ParseRfc3339(const std::string& text, std::chrono::system_clock::time_point* out);

}  // namespace clustersim

#endif  // CLUSTERSIM_RFC3339_H_
