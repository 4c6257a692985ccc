#include "clustersim/connection_loop.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <openssl/err.h>

#include "clustersim/worker_pool.h"

namespace clustersim {

namespace {

using Clock = std::chrono::steady_clock;

// After a closing answer the client may still be sending; reading that for a moment keeps the
// kernel from resetting the connection before the client has read the answer.
constexpr std::chrono::milliseconds kDrainTime{2000};
constexpr std::chrono::milliseconds kAcceptPause{100};

int Milliseconds(Clock::duration duration) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return ms < 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

struct ConnectionLoop::Connection {
  enum class State { kHandshake, kReading, kBusy, kDraining };

  int fd = -1;
  SSL* ssl = nullptr;
  std::string peer_address;
  int peer_port = 0;
  State state = State::kHandshake;
  Clock::time_point deadline;
  std::string input;
  bool request_started = false;
  bool continue_sent = false;
  // The request handed to a worker.
  FramedRequest request;
  size_t consumed = 0;
  Status refusal;
};

ConnectionLoop::ConnectionLoop(SSL_CTX* ctx, ConnectionSettings settings, Responder responder, Refuser refuser)
    : ctx_(ctx), settings_(settings), responder_(std::move(responder)), refuser_(std::move(refuser)) {}

ConnectionLoop::~ConnectionLoop() {
  Stop();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

Status ConnectionLoop::Listen(const std::string& address, int port) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
    return Status::Unavailable("cannot resolve the address");
  }
  int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, found->ai_protocol);
  int yes = 1;
  // No SO_REUSEPORT: a second emulator on the same address must fail to start, not share it.
  bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) == 0 &&
            ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
  std::string reason = ok ? "" : std::strerror(errno);
  ::freeaddrinfo(found);
  if (!ok) {
    if (fd >= 0) ::close(fd);
    return Status::Unavailable(reason);
  }
  struct sockaddr_storage bound = {};
  socklen_t length = sizeof(bound);
  ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<struct sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<struct sockaddr_in*>(&bound)->sin_port);
  listen_fd_ = fd;
  return Status::Ok();
}

void ConnectionLoop::Start() {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  struct epoll_event event = {};
  event.events = EPOLLIN;
  event.data.fd = listen_fd_;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &event);
  event.data.fd = wake_fd_;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
  workers_ = std::make_unique<WorkerPool>(settings_.workers);
  thread_ = std::thread([this] { Run(); });
}

void ConnectionLoop::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    stop_requested_ = true;
  }
  uint64_t one = 1;
  IgnoreError(::write(wake_fd_, &one, sizeof(one)) == sizeof(one) ? Status::Ok() : Status::Internal("wake"));
  thread_.join();
  workers_->shutdown();
  for (auto& entry : connections_) {
    SSL_free(entry.second->ssl);
    ::close(entry.second->fd);
  }
  connections_.clear();
}

void ConnectionLoop::Run() {
  struct epoll_event events[64];
  for (;;) {
    int n = ::epoll_wait(epoll_fd_, events, 64, 250);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listen_fd_) {
        Accept();
      } else if (fd == wake_fd_) {
        uint64_t count = 0;
        IgnoreError(::read(wake_fd_, &count, sizeof(count)) >= 0 ? Status::Ok() : Status::Internal("wake"));
        Finished();
      } else {
        auto it = connections_.find(fd);
        if (it != connections_.end()) OnEvent(it->second.get());
      }
    }
    {
      std::lock_guard<std::mutex> lock(finished_mutex_);
      if (stop_requested_) break;
    }
    SweepDeadlines();
  }
  // Answers still being written end at once; their workers then finish.
  for (auto& entry : connections_) {
    if (entry.second->state == Connection::State::kBusy) ::shutdown(entry.second->fd, SHUT_RDWR);
  }
}

void ConnectionLoop::Accept() {
  for (;;) {
    struct sockaddr_storage peer = {};
    socklen_t length = sizeof(peer);
    int fd = ::accept4(listen_fd_, reinterpret_cast<struct sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Level-triggered: left armed, the listener would wake the loop at once, again and again.
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listen_fd_, nullptr);
        accept_paused_ = true;
        accept_resume_ = Clock::now() + kAcceptPause;
      }
      return;
    }
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->ssl = SSL_new(ctx_);
    if (connection->ssl == nullptr || SSL_set_fd(connection->ssl, fd) != 1) {
      if (connection->ssl != nullptr) SSL_free(connection->ssl);
      ::close(fd);
      continue;
    }
    SSL_set_mode(connection->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_accept_state(connection->ssl);
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET6) {
      auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&peer);
      ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
      connection->peer_port = ntohs(in6->sin6_port);
    } else {
      auto* in = reinterpret_cast<struct sockaddr_in*>(&peer);
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
      connection->peer_port = ntohs(in->sin_port);
    }
    connection->peer_address = text;
    // The handshake is bounded as a whole, however slowly its bytes trickle in.
    connection->deadline = Clock::now() + settings_.request_timeout;
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
    connections_[fd] = std::move(connection);
  }
}

void ConnectionLoop::Arm(Connection* connection, bool want_write) {
  struct epoll_event event = {};
  event.events = (want_write ? EPOLLOUT : EPOLLIN) | EPOLLONESHOT;
  event.data.fd = connection->fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, connection->fd, &event);
}

void ConnectionLoop::OnEvent(Connection* connection) {
  switch (Advance(connection)) {
    case Step::kWait:
      break;
    case Step::kDispatch:
      Dispatch(connection);
      break;
    case Step::kClose:
      Close(connection);
      break;
  }
}

ConnectionLoop::Step ConnectionLoop::Advance(Connection* connection) {
  SSL* ssl = connection->ssl;
  if (connection->state == Connection::State::kDraining) {
    char discard[16384];
    ssize_t n;
    while ((n = ::recv(connection->fd, discard, sizeof(discard), 0)) > 0) {
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Step::kClose;
    Arm(connection, false);
    return Step::kWait;
  }
  if (connection->state == Connection::State::kHandshake) {
    ERR_clear_error();
    int result = SSL_do_handshake(ssl);
    if (result != 1) {
      int error = SSL_get_error(ssl, result);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return Step::kClose;
      Arm(connection, error == SSL_ERROR_WANT_WRITE);
      return Step::kWait;
    }
    connection->state = Connection::State::kReading;
    connection->deadline = Clock::now() + settings_.idle_timeout;
  }

  // Everything readable now, TLS's own buffer included, which the socket's readiness does not show.
  const size_t max_bytes = MaxRequestBytes(settings_.limits);
  bool ended = false, want_write = false;
  while (connection->input.size() < max_bytes) {
    char buffer[16384];
    ERR_clear_error();
    int n = SSL_read(ssl, buffer, sizeof(buffer));
    if (n > 0) {
      if (!connection->request_started) {
        connection->request_started = true;
        connection->deadline = Clock::now() + settings_.request_timeout;
      }
      connection->input.append(buffer, static_cast<size_t>(n));
      continue;
    }
    int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_WANT_WRITE) want_write = true;
    ended = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
    break;
  }

  if (!connection->input.empty()) {
    Framing framing = FrameRequest(connection->input, settings_.limits, &connection->request, &connection->consumed,
                                   &connection->refusal);
    if (framing == Framing::kComplete || framing == Framing::kRefused) return Step::kDispatch;
    if (connection->input.size() >= max_bytes) {
      connection->refusal = Status::Refused(413, "the request is too large");
      return Step::kDispatch;
    }
    if (connection->request.expects_continue && !connection->continue_sent) {
      // Nothing of ours is unsent at this point, so these few bytes fit the socket's buffer.
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      connection->continue_sent = true;
      ERR_clear_error();
      if (SSL_write(ssl, kContinue, sizeof(kContinue) - 1) != sizeof(kContinue) - 1) return Step::kClose;
    }
  }
  if (ended) return Step::kClose;
  Arm(connection, want_write);
  return Step::kWait;
}

void ConnectionLoop::Dispatch(Connection* connection) {
  connection->state = Connection::State::kBusy;
  workers_->enqueue([this, connection] { Answer(connection); });
}

// On a worker: the loop does not touch a busy connection.
void ConnectionLoop::Answer(Connection* connection) {
  bool close = true;
  std::string response;
  if (!connection->refusal.ok()) {
    response = refuser_(connection->refusal, connection->request.method == "HEAD");
  } else {
    response = responder_(connection->request, connection->peer_address, connection->peer_port, &close);
    close = close || connection->request.close;
  }
  bool written = WriteAll(connection, response);
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_.emplace_back(connection, close || !written);
  }
  uint64_t one = 1;
  IgnoreError(::write(wake_fd_, &one, sizeof(one)) == sizeof(one) ? Status::Ok() : Status::Internal("wake"));
}

bool ConnectionLoop::WriteAll(Connection* connection, const std::string& bytes) {
  const Clock::time_point deadline = Clock::now() + settings_.write_timeout;
  size_t offset = 0;
  while (offset < bytes.size()) {
    ERR_clear_error();
    int chunk = static_cast<int>(std::min<size_t>(bytes.size() - offset, 1 << 20));
    int n = SSL_write(connection->ssl, bytes.data() + offset, chunk);
    if (n > 0) {
      offset += static_cast<size_t>(n);
      continue;
    }
    int error = SSL_get_error(connection->ssl, n);
    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) return false;
    struct pollfd wait = {connection->fd, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    int left = Milliseconds(deadline - Clock::now());
    if (left == 0) return false;
    if (::poll(&wait, 1, left) < 0 && errno != EINTR) return false;
  }
  return true;
}

void ConnectionLoop::Finished() {
  std::vector<std::pair<Connection*, bool>> finished;
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished.swap(finished_);
  }
  for (const auto& entry : finished) {
    Connection* connection = entry.first;
    if (entry.second) {
      ERR_clear_error();
      SSL_shutdown(connection->ssl);
      ::shutdown(connection->fd, SHUT_WR);
      connection->state = Connection::State::kDraining;
      connection->deadline = Clock::now() + kDrainTime;
      Arm(connection, false);
      continue;
    }
    // The next request may be in the buffer already (pipelined): it is framed before waiting.
    connection->input.erase(0, connection->consumed);
    connection->consumed = 0;
    connection->refusal = Status::Ok();
    connection->continue_sent = false;
    connection->request_started = !connection->input.empty();
    connection->state = Connection::State::kReading;
    connection->deadline =
        Clock::now() + (connection->request_started ? settings_.request_timeout : settings_.idle_timeout);
    OnEvent(connection);
  }
}

void ConnectionLoop::Close(Connection* connection) {
  const int fd = connection->fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  SSL_free(connection->ssl);
  ::close(fd);
  connections_.erase(fd);
}

void ConnectionLoop::SweepDeadlines() {
  const Clock::time_point now = Clock::now();
  if (accept_paused_ && now >= accept_resume_) {
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = listen_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &event);
    accept_paused_ = false;
  }
  std::vector<Connection*> expired;
  for (auto& entry : connections_) {
    Connection* connection = entry.second.get();
    if (connection->state != Connection::State::kBusy && now >= connection->deadline) expired.push_back(connection);
  }
  for (Connection* connection : expired) Close(connection);
}

}  // namespace clustersim
