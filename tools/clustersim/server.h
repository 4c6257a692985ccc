// The cluster emulator as an embeddable object: an HTTPS server (TLS 1.2 or
// later) speaking the cluster REST protocol over a directory tree on disk.
// Start() returns once connections are accepted; Stop() is idempotent and also
// run by the destructor. Accessors are thread-safe once Start() succeeded.
#ifndef CLUSTERSIM_SERVER_H_
#define CLUSTERSIM_SERVER_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "clustersim/faults.h"
#include "clustersim/options.h"
#include "clustersim/status.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace clustersim {

class ClusterService;
class ConnectionLoop;
class RequestRouter;

class Server {
 public:
  explicit Server(Options options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Locks the state directory, loads state, prepares certificates, binds and starts serving.
  // Fails with a clear message, e.g. when the address is in use or another emulator holds
  // the state directory.
  Status Start();
  void Stop();

  const Options& options() const { return options_; }
  const std::string& state_dir() const { return state_dir_; }
  int port() const { return port_; }
  std::string url() const;              // "https://ADDR:PORT"
  const std::string& ca_path() const { return ca_path_; }
  const std::string& pin() const { return pin_; }  // "sha256//BASE64" of the served key
  std::string ListeningLine() const;    // "listening on https://ADDR:PORT ca=PATH pin=sha256//BASE64"

  CounterValues counters() const;
  void ResetCounters();
  void SetFaults(const FaultSettings& settings);  // replaces the active set
  void ClearFaults();
  FaultSettings faults() const;
  void ExpireAllTokens();
  void SetSyntheticDiff(const std::string& fs_path, uint64_t items);
  // How long snapshots deleted from now on stay listed as in_delete; 0 removes them at once.
  void SetDeleteDelay(std::chrono::milliseconds delay);

 private:
  Status StartLocked(std::string password);

  Options options_;
  std::string state_dir_;
  int state_lock_ = -1;  // held for the server's life: one emulator per state directory
  std::string ca_path_;
  std::string pin_;
  int port_ = 0;
  std::unique_ptr<ClusterService> service_;
  std::unique_ptr<RequestRouter> router_;
  SSL_CTX* tls_ = nullptr;
  std::unique_ptr<ConnectionLoop> connections_;
  bool started_ = false;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_SERVER_H_
