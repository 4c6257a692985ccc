// The server's connections: one thread accepts them, runs their TLS handshakes and reads their
// requests without blocking, so that idle, slow or stalled clients cost a socket and no thread;
// a worker is taken only for a request that has arrived whole, to answer it. Pipelined requests are
// answered in order. Deadlines: the handshake, and each request from its first byte, must be done
// within `request_timeout`; a connection idle for `idle_timeout` between requests is closed.
// Start() and Stop() are for the owner's thread; the rest runs on the loop and the workers.
#ifndef CLUSTERSIM_CONNECTION_LOOP_H_
#define CLUSTERSIM_CONNECTION_LOOP_H_

#include <openssl/ssl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "clustersim/request_framing.h"
#include "clustersim/status.h"

namespace clustersim {

class WorkerPool;

struct ConnectionSettings {
  std::chrono::milliseconds idle_timeout{10000};
  std::chrono::milliseconds request_timeout{10000};
  std::chrono::milliseconds write_timeout{30000};
  size_t workers = 256;
  FramingLimits limits;
};

// What the loop asks of the server for one framed request: the response's bytes, and whether the
// connection is to close after them.
using Responder =
    std::function<std::string(const FramedRequest& request, const std::string& peer_address, int peer_port, bool* close)>;

// The refusal of a request that failed framing (no body for HEAD); the connection closes after it.
using Refuser = std::function<std::string(const Status& refusal, bool head)>;

class ConnectionLoop {
 public:
  ConnectionLoop(SSL_CTX* ctx, ConnectionSettings settings, Responder responder, Refuser refuser);
  ~ConnectionLoop();
  ConnectionLoop(const ConnectionLoop&) = delete;
  ConnectionLoop& operator=(const ConnectionLoop&) = delete;

  // Binds and listens (with the system's backlog) on address:port; port 0 picks one (see port()).
  Status Listen(const std::string& address, int port);
  int port() const { return port_; }
  void Start();
  // Closes every connection; requests being answered finish first (their writes fail fast).
  void Stop();

 private:
  struct Connection;
  enum class Step { kWait, kDispatch, kClose };

  void Run();
  void Accept();
  void OnEvent(Connection* connection);
  Step Advance(Connection* connection);
  void Arm(Connection* connection, bool want_write);
  void Dispatch(Connection* connection);
  void Answer(Connection* connection);
  void Finished();
  void Close(Connection* connection);
  void SweepDeadlines();
  bool WriteAll(Connection* connection, const std::string& bytes);

  SSL_CTX* const ctx_;
  const ConnectionSettings settings_;
  const Responder responder_;
  const Refuser refuser_;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // an eventfd: answered connections are back, or stop
  int port_ = 0;
  bool accept_paused_ = false;  // out of descriptors: accepting again at accept_resume_
  std::chrono::steady_clock::time_point accept_resume_;
  std::thread thread_;
  std::unique_ptr<WorkerPool> workers_;
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;  // by socket; loop thread only

  std::mutex finished_mutex_;
  std::vector<std::pair<Connection*, bool>> finished_;  // answered connections, and whether to close
  bool stop_requested_ = false;                         // under finished_mutex_
};

}  // namespace clustersim

#endif  // CLUSTERSIM_CONNECTION_LOOP_H_
