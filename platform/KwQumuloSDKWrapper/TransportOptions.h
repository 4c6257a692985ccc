#ifndef KWQUMULOSDKWRAPPER_TRANSPORTOPTIONS_H
#define KWQUMULOSDKWRAPPER_TRANSPORTOPTIONS_H

#include <cstddef>
#include <string>

namespace Qumulo {

// How connections reach the cluster. The agent sets the process default once, before it creates
// snap clients; every CConnection made afterwards copies it at construction.
struct TransportOptions {
  // TLS is always verified against the system trust store unless one of these says otherwise.
  std::string caFile;              // a PEM CA bundle to trust instead (for example the emulator's CA)
  bool insecure = false;           // skip verification entirely; logged as a warning at level 0
  // "sha256//BASE64" of the cluster's public key (SubjectPublicKeyInfo). A matching key stands in
  // for the CA chain, which a self-signed cluster certificate does not have; a mismatch fails the
  // connection. With a CA file as well, both must hold.
  std::string pinnedPublicKey;
  // The proxy to reach the cluster through ("" for none). Proxy environment variables are ignored:
  // a cluster on the local network reached through a stray https_proxy is a misroute.
  std::string proxy;
  long connectTimeoutSeconds = 10;
  long lowSpeedTimeSeconds = 30;   // abort a transfer slower than 1 byte/s for this long
  int maxAttempts = 4;             // tries of an idempotent request on 429, 5xx, timeouts, drops
  long backoffMillis = 100;        // first retry delay, doubled each retry
  unsigned int diffPageSize = 10000;
  // The largest answer accepted: a cluster that announces or sends more fails the request instead
  // of exhausting the agent's memory. Generous for a page of 10,000 entries (about 1 MB).
  size_t maxResponseBytes = size_t(256) << 20;

  static void SetDefault(const TransportOptions& options);
  static TransportOptions Default();
};

}  // namespace Qumulo

#endif
