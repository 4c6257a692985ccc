// Tracks the TLS connections each server has open, so that Stop() can cut
// idle keep-alive connections instead of waiting out their time-out, and
// counts completed handshakes. Installed on an SSL_CTX; thread-safe.
#ifndef CLUSTERSIM_TLS_CONNECTIONS_H_
#define CLUSTERSIM_TLS_CONNECTIONS_H_

#include <openssl/ssl.h>

#include "clustersim/faults.h"

namespace clustersim {

// Makes `ctx` report its connections to `owner` and count handshakes in `counters`.
void TrackTlsConnections(SSL_CTX* ctx, const void* owner, Counters* counters);

// Shuts down the sockets of every open connection of `owner`; their worker
// threads then see the connection closed and finish.
void ShutDownTlsConnections(const void* owner);

}  // namespace clustersim

#endif  // CLUSTERSIM_TLS_CONNECTIONS_H_
