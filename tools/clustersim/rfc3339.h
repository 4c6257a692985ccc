// Times as the cluster's API writes them: RFC 3339 in UTC with nanoseconds,
// e.g. "2024-02-04T19:29:48.136708478Z". Stateless; thread-safe.
#ifndef CLUSTERSIM_RFC3339_H_
#define CLUSTERSIM_RFC3339_H_

#include <cstdint>
#include <string>

namespace clustersim {

std::string FormatRfc3339(int64_t seconds, int64_t nanoseconds);

}  // namespace clustersim

#endif  // CLUSTERSIM_RFC3339_H_
