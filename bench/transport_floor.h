// Side (d) of the change-list benchmark, the transport floor: the difference's pages fetched over
// one keep-alive libcurl connection with the wrapper's TLS settings, and thrown away unread. All the
// snap client does with the bytes comes on top of this. Not thread-safe.
#ifndef BENCH_TRANSPORT_FLOOR_H_
#define BENCH_TRANSPORT_FLOOR_H_

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct TransportFloor {
  double seconds = -1;     // wall time of the page requests; negative when a request failed
  double cpuSeconds = -1;  // this process's user + system time over them
  uint64_t bytes = 0;      // page bytes received
  std::string error;
};

// Logs in at `url` (untimed), then GETs each of `targets` in order over the same connection.
TransportFloor FetchAndDiscard(const std::string& url, const std::string& caFile, const std::string& user,
                               const std::string& password, const std::vector<std::string>& targets);

}  // namespace bench

#endif  // BENCH_TRANSPORT_FLOOR_H_
