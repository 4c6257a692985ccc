// A minimal HTTP CONNECT proxy on a loopback address, so that tests can see which connections go
// through a proxy. Each tunnel is served on its own thread; Stop (or the destructor) ends them all.
// Start, Stop and the counters are for one owning thread.
#ifndef WRAPPER_TUNNELPROXY_H_
#define WRAPPER_TUNNELPROXY_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wrappertest {

class TunnelProxy {
 public:
  TunnelProxy() = default;
  ~TunnelProxy();
  TunnelProxy(const TunnelProxy&) = delete;
  TunnelProxy& operator=(const TunnelProxy&) = delete;

  // Listens on a fresh loopback address; accepting has begun when it returns true.
  bool Start();
  void Stop();

  std::string url() const { return url_; }  // "http://ADDR:PORT"
  // The "host:port" of every CONNECT request received so far.
  std::vector<std::string> targets() const;

 private:
  void AcceptLoop();
  void Serve(int client);

  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::string url_;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> tunnels_;
  std::vector<std::string> targets_;
};

}  // namespace wrappertest

#endif  // WRAPPER_TUNNELPROXY_H_
