#ifndef KWQUMULOSDKWRAPPER_TRANSPORTOPTIONS_H
#define KWQUMULOSDKWRAPPER_TRANSPORTOPTIONS_H

#include <string>

namespace Qumulo {

// How connections reach the cluster. The agent sets the process default once, before it creates
// snap clients; every CConnection made afterwards copies it at construction.
struct TransportOptions {
  // TLS is always verified against the system trust store unless one of these says otherwise.
  std::string caFile;              // a PEM CA bundle to trust instead (for example the emulator's CA)
  bool insecure = false;           // skip verification entirely; logged as a warning at level 0
  long connectTimeoutSeconds = 10;
  long lowSpeedTimeSeconds = 30;   // abort a transfer slower than 1 byte/s for this long
  int maxAttempts = 4;             // tries of an idempotent request on 429, 5xx, timeouts, drops
  long backoffMillis = 100;        // first retry delay, doubled each retry
  unsigned int diffPageSize = 10000;

  static void SetDefault(const TransportOptions& options);
  static TransportOptions Default();
};

}  // namespace Qumulo

#endif
