#include "TunnelProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "snaptest/loopback.h"

namespace wrappertest {

namespace {

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// The wrapper names its cluster by a numeric IPv4 address here.
int ConnectTo(const std::string& target) {
  const size_t colon = target.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1)));
  if (colon == std::string::npos || ::inet_pton(AF_INET, target.substr(0, colon).c_str(), &address.sin_addr) != 1) {
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  ::close(fd);
  return -1;
}

}  // namespace

TunnelProxy::~TunnelProxy() { Stop(); }

bool TunnelProxy::Start() {
  if (::pipe(stopPipe_) != 0) return false;
  for (int attempt = 0; attempt < 20 && listener_ < 0; ++attempt) {
    const std::string address = snaptest::PickLoopbackAddress(0);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &bound.sin_addr);
    socklen_t length = sizeof(bound);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      ::close(listener_);
      listener_ = -1;
      continue;
    }
    url_ = "http://" + address + ":" + std::to_string(ntohs(bound.sin_port));
  }
  if (listener_ < 0) return false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TunnelProxy::Stop() {
  if (stopPipe_[1] >= 0) (void)::write(stopPipe_[1], "x", 1);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> tunnels;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tunnels.swap(tunnels_);
  }
  for (std::thread& tunnel : tunnels) tunnel.join();
  for (int* fd : {&listener_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::vector<std::string> TunnelProxy::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void TunnelProxy::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    tunnels_.emplace_back([this, client] { Serve(client); });
  }
}

void TunnelProxy::Serve(int client) {
  std::string request;
  char buffer[16384];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
    pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) break;
    const ssize_t got = ::recv(client, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<size_t>(got));
  }
  int upstream = -1;
  if (request.compare(0, 8, "CONNECT ") == 0) {
    const std::string target = request.substr(8, request.find(' ', 8) - 8);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
    }
    upstream = ConnectTo(target);
  }
  const char* answer = upstream >= 0 ? "HTTP/1.1 200 Connection established\r\n\r\n" : "HTTP/1.1 502 Bad Gateway\r\n\r\n";
  if (SendAll(client, answer, std::strlen(answer)) && upstream >= 0) {
    for (;;) {
      pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      if (::poll(fds, 3, -1) < 0 || fds[2].revents != 0) break;
      const int from = fds[0].revents != 0 ? client : upstream;
      const int to = from == client ? upstream : client;
      const ssize_t got = ::recv(from, buffer, sizeof(buffer), 0);
      if (got <= 0 || !SendAll(to, buffer, static_cast<size_t>(got))) break;
    }
  }
  if (upstream >= 0) ::close(upstream);
  ::close(client);
}

}  // namespace wrappertest
