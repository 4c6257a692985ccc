#ifndef KWQUMULOSDKWRAPPER_TRANSPORTOPTIONS_H
#define KWQUMULOSDKWRAPPER_TRANSPORTOPTIONS_H

#include <cstddef>
#include <cstdint>
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
  // A transfer that moves fewer than lowSpeedBytes within lowSpeedTimeSeconds is taken as stalled
  // and aborted, whether the cluster sends nothing or drips: a hung cluster cannot hang the agent.
  // Waiting for a page the cluster is still computing counts too; a cluster slow at that needs a
  // longer window.
  long lowSpeedTimeSeconds = 60;
  long lowSpeedBytes = 1024;
  // The most one request may take, all its tries and the waits between them included.
  long requestTimeoutSeconds = 600;
  int maxAttempts = 4;             // tries of an idempotent request on 429, 5xx, timeouts, drops
  long backoffMillis = 100;        // first retry delay, doubled each retry; a 429 or 503 may ask for more
  unsigned int diffPageSize = 10000;
  // Bounds of one difference of two snapshots: a cluster that links on from page to page without
  // end fails the comparison once either is passed.
  uint64_t maxDiffItems = 4294967295u;
  uint64_t maxDiffPages = uint64_t(1) << 24;
  // The largest answer accepted: a cluster that announces or sends more fails the request instead
  // of exhausting the agent's memory. Generous for a page of 10,000 entries (about 1 MB).
  size_t maxResponseBytes = size_t(256) << 20;

  static void SetDefault(const TransportOptions& options);
  static TransportOptions Default();
};

}  // namespace Qumulo

#endif
