#include "clustersim/tls_connections.h"

#include <sys/socket.h>

#include <mutex>
#include <unordered_map>

namespace clustersim {

namespace {

struct Connection {
  int fd;
  const void* owner;
};

struct TrackedContext {
  const void* owner;
  Counters* counters;
};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// SSL object -> its socket. An entry is removed when the SSL object is freed,
// which httplib does before it closes the socket, so a listed descriptor is
// always still this connection's.
std::unordered_map<const SSL*, Connection>& Registry() {
  static auto* registry = new std::unordered_map<const SSL*, Connection>();
  return *registry;
}

void OnSslFree(void* parent, void*, CRYPTO_EX_DATA*, int, long, void*) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry().erase(static_cast<const SSL*>(parent));
}

// Called for every SSL object of the process; only ours were ever registered.
int ConnectionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, OnSslFree);
  return index;
}

int ContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

void OnTlsEvent(const SSL* ssl, int where, int) {
  auto* context = static_cast<TrackedContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
  if (context == nullptr) return;
  if (where & SSL_CB_HANDSHAKE_START) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().emplace(ssl, Connection{SSL_get_fd(ssl), context->owner});
  }
  if (where & SSL_CB_HANDSHAKE_DONE) {
    // TLS 1.3 reports "done" again after post-handshake messages: count once.
    SSL* mutable_ssl = const_cast<SSL*>(ssl);
    if (SSL_get_ex_data(mutable_ssl, ConnectionIndex()) != nullptr) return;
    SSL_set_ex_data(mutable_ssl, ConnectionIndex(), mutable_ssl);
    context->counters->CountTlsConnection();
  }
}

void FreeTrackedContext(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<TrackedContext*>(ptr);
}

int OwnedContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeTrackedContext);
  return index;
}

}  // namespace

void TrackTlsConnections(SSL_CTX* ctx, const void* owner, Counters* counters) {
  ConnectionIndex();  // registers the free callback before any connection exists
  auto* context = new TrackedContext{owner, counters};
  SSL_CTX_set_ex_data(ctx, ContextIndex(), context);
  SSL_CTX_set_ex_data(ctx, OwnedContextIndex(), context);  // frees it with the context
  SSL_CTX_set_info_callback(ctx, OnTlsEvent);
}

void ShutDownTlsConnections(const void* owner) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  for (const auto& entry : Registry()) {
    if (entry.second.owner == owner && entry.second.fd >= 0) ::shutdown(entry.second.fd, SHUT_RDWR);
  }
}

}  // namespace clustersim
