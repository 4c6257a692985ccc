// Counts the TLS handshakes a server completes (the tls_connections counter). Installed on an
// SSL_CTX; thread-safe.
#ifndef CLUSTERSIM_TLS_CONNECTIONS_H_
#define CLUSTERSIM_TLS_CONNECTIONS_H_

#include <openssl/ssl.h>

#include "clustersim/faults.h"

namespace clustersim {

// Makes `ctx` count each completed handshake in `counters`, which must outlive it.
void CountTlsConnections(SSL_CTX* ctx, Counters* counters);

}  // namespace clustersim

#endif  // CLUSTERSIM_TLS_CONNECTIONS_H_
