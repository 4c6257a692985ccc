#include "clustersim/tls_connections.h"

namespace clustersim {

namespace {

int ConnectionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int ContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

void OnTlsEvent(const SSL* ssl, int where, int) {
  if (!(where & SSL_CB_HANDSHAKE_DONE)) return;
  auto* counters = static_cast<Counters*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
  if (counters == nullptr) return;
  // TLS 1.3 reports "done" again after post-handshake messages: count once.
  SSL* mutable_ssl = const_cast<SSL*>(ssl);
  if (SSL_get_ex_data(mutable_ssl, ConnectionIndex()) != nullptr) return;
  SSL_set_ex_data(mutable_ssl, ConnectionIndex(), mutable_ssl);
  counters->CountTlsConnection();
}

}  // namespace

void CountTlsConnections(SSL_CTX* ctx, Counters* counters) {
  SSL_CTX_set_ex_data(ctx, ContextIndex(), counters);
  SSL_CTX_set_info_callback(ctx, OnTlsEvent);
}

}  // namespace clustersim
