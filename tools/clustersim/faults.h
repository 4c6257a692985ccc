// Test hooks: request and TLS-connection counters, and switchable faults that
// apply to ordinary (non-debug) requests in arrival order. Thread-safe.
#ifndef CLUSTERSIM_FAULTS_H_
#define CLUSTERSIM_FAULTS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

#include "clustersim/json.h"
#include "clustersim/status.h"

namespace clustersim {

// The active fault set; zero values switch a fault off.
struct FaultSettings {
  int fail_status = 503;        // 429, 500 or 503, used by the fail switches
  uint64_t fail_next = 0;       // the next N requests fail
  uint64_t fail_nth = 0;        // the Nth request after setting fails, once
  double fail_ratio = 0;        // each request fails with this probability...
  uint64_t seed = 0;            // ...drawn from a generator with this seed
  bool expire_tokens = false;   // every token issued so far expires when set
  uint64_t drop_next = 0;       // the next N responses are cut off and the connection closed
  uint64_t delay_ms = 0;        // every request is answered after this delay
  uint64_t malformed_next = 0;  // the next N successful responses carry half their JSON
  uint64_t page_cap = 0;        // difference pages hold at most this many entries
};

// Reads the fields of a PUT /v1/debug/faults body; 400 for bad values.
Status ParseFaultSettings(const JsonObject& body, FaultSettings* out);

// What to do with one request.
struct FaultDecision {
  std::chrono::milliseconds delay{0};
  int fail_status = 0;  // 0: do not fail
  bool drop = false;
};

class FaultSwitches {
 public:
  void Set(const FaultSettings& settings);  // replaces the active set
  void Clear();
  FaultSettings Current() const;

  // Called once per ordinary request, in arrival order.
  FaultDecision OnRequest();
  // Called for a successful response with a body: true when it is to be cut in half.
  bool TakeMalformed();
  // 0 when pages are not capped.
  uint64_t PageCap() const;

 private:
  mutable std::mutex mutex_;
  FaultSettings settings_;
  uint64_t requests_since_set_ = 0;
  std::mt19937_64 random_;
};

struct CounterValues {
  uint64_t requests = 0;         // ordinary requests served
  uint64_t tls_connections = 0;  // TLS handshakes completed
};

class Counters {
 public:
  void CountRequest() { requests_.fetch_add(1, std::memory_order_relaxed); }
  void CountTlsConnection() { tls_connections_.fetch_add(1, std::memory_order_relaxed); }
  CounterValues Read() const;
  void Reset();

 private:
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> tls_connections_{0};
};

}  // namespace clustersim

#endif  // CLUSTERSIM_FAULTS_H_
