#include "clustersim/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <httplib.h>
#include <openssl/ssl.h>

#include "clustersim/certificates.h"
#include "clustersim/cluster_service.h"
#include "clustersim/json.h"
#include "clustersim/tls_connections.h"
#include "clustersim/worker_pool.h"

namespace clustersim {

namespace {

constexpr size_t kKeepAliveRequests = 100000000;  // one connection serves a whole job
constexpr time_t kIdleSeconds = 10;               // between requests
constexpr time_t kStallSeconds = 5;               // within a handshake or a request

Status ReadPassword(const std::string& path, std::string* password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::BadRequest("cannot read the password file " + path);
  std::getline(in, *password);
  while (!password->empty() && (password->back() == '\r' || password->back() == '\n')) password->pop_back();
  return Status::Ok();
}

Status MakeDirectories(const std::string& path, mode_t mode) {
  std::string prefix;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    prefix = path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      return Status::Internal("cannot make " + prefix + ": " + std::strerror(errno));
    }
    start = slash + 1;
  }
  return Status::Ok();
}

// httplib only reports that binding failed; a probe recovers the reason.
std::string BindFailureReason(const std::string& address, int port) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
    return "cannot resolve the address";
  }
  std::string reason = "cannot bind";
  int fd = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (fd >= 0) {
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0) reason = std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return reason;
}

}  // namespace

Server::Server(Options options) : options_(std::move(options)) {}

Server::~Server() { Stop(); }

std::string Server::url() const { return "https://" + options_.bind_address + ":" + std::to_string(port_); }

std::string Server::ListeningLine() const { return "listening on " + url() + " ca=" + ca_path_ + " pin=" + pin_; }

Status Server::Start() {
  if (started_) return Status::Internal("already started");
  std::string password;
  Status status = ReadPassword(options_.password_file, &password);
  if (!status.ok()) return status;

  std::string root = options_.root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  state_dir_ = options_.state_dir.empty() ? root + ".state" : options_.state_dir;
  status = MakeDirectories(state_dir_, 0700);
  if (!status.ok()) return status;
  // Two emulators on one state directory would hand out the same snapshot ids and overwrite each
  // other's records. The lock goes with the descriptor, also when the process dies.
  const std::string lock_path = state_dir_ + "/lock";
  state_lock_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (state_lock_ < 0) return Status::Internal("cannot open " + lock_path + ": " + std::strerror(errno));
  if (::flock(state_lock_, LOCK_EX | LOCK_NB) != 0) {
    ::close(state_lock_);
    state_lock_ = -1;
    return Status::Unavailable("another clustersim is using the state directory " + state_dir_);
  }
  status = StartLocked(std::move(password));
  if (!status.ok()) {
    ::close(state_lock_);
    state_lock_ = -1;
  }
  return status;
}

Status Server::StartLocked(std::string password) {
  Status status;

  std::string cert_file = options_.cert_file;
  std::string key_file = options_.key_file;
  if (cert_file.empty()) {
    CertificatePaths paths;
    status = EnsureCertificates(state_dir_, options_.bind_address, &paths);
    if (!status.ok()) return status.Annotate("preparing certificates");
    cert_file = paths.server_cert;
    key_file = paths.server_key;
    ca_path_ = paths.ca_cert;
  } else {
    ca_path_ = cert_file;  // a given certificate is trusted as it is
  }

  status = PublicKeyPin(cert_file, &pin_);
  if (!status.ok()) return status;

  service_ = std::make_unique<ClusterService>(options_, std::move(password));
  status = service_->Open(state_dir_);
  if (!status.ok()) {
    service_.reset();
    return status;
  }

  Counters* counters = &service_->counters();
  http_ = std::make_unique<httplib::SSLServer>([&, this](SSL_CTX& ctx) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(&ctx, cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(&ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(&ctx) != 1) {
      return false;
    }
    TrackTlsConnections(&ctx, this, counters);
    return true;
  });
  if (!http_->is_valid()) {
    http_.reset();
    service_.reset();
    return Status::BadRequest("cannot use the certificate " + cert_file + " with the key " + key_file);
  }

  const int workers = options_.worker_threads;
  http_->new_task_queue = [workers] { return new WorkerPool(static_cast<size_t>(workers)); };
  http_->set_keep_alive_max_count(kKeepAliveRequests);
  // An open connection holds a worker: idle ones and ones that stall mid-request let go soon.
  http_->set_keep_alive_timeout(kIdleSeconds);
  http_->set_read_timeout(kStallSeconds, 0);
  http_->set_write_timeout(30, 0);
  http_->set_payload_max_length(1 << 20);
  http_->set_tcp_nodelay(true);
  // httplib's default also sets SO_REUSEPORT, which would let a second emulator
  // share the address silently instead of failing to start.
  http_->set_socket_options([](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  ClusterService* service = service_.get();
  auto handler = [service](const httplib::Request& request, httplib::Response& response) {
    service->Handle(request, response);
  };
  http_->Get(".*", handler);
  http_->Post(".*", handler);
  http_->Put(".*", handler);
  http_->Delete(".*", handler);
  http_->Patch(".*", handler);
  http_->Options(".*", handler);
  // Errors that httplib produces itself (malformed requests, over-long headers, unknown methods) get
  // the error body too. What is left of such a request in the stream would be read as the next one,
  // so the connection closes after the answer.
  http_->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                                   httplib::Response& response) {
    if (!response.body.empty() || response.content_length_ > 0) return httplib::Server::HandlerResponse::Unhandled;
    Status status = response.status == 404 ? Status::NotFound("no such route")
                    : response.status < 500 ? Status::BadRequest("malformed request")
                                            : Status::Internal("server error");
    AnswerAndClose(response, ErrorBody(status));
    return httplib::Server::HandlerResponse::Handled;
  }));

  // A client that goes away mid-response must not kill the process.
  struct sigaction current = {};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    ::signal(SIGPIPE, SIG_IGN);
  }

  bool bound = false;
  if (options_.port == 0) {
    port_ = http_->bind_to_any_port(options_.bind_address);
    bound = port_ > 0;
  } else {
    port_ = options_.port;
    bound = http_->bind_to_port(options_.bind_address, options_.port);
  }
  if (!bound) {
    std::string reason = BindFailureReason(options_.bind_address, options_.port);
    http_.reset();
    service_.reset();
    return Status::Unavailable("cannot listen on " + options_.bind_address + ":" + std::to_string(options_.port) +
                               ": " + reason);
  }
  listener_ = std::thread([this] { http_->listen_after_bind(); });
  // The socket already accepts connections; wait until stop() would take effect.
  while (!http_->is_running()) std::this_thread::yield();
  started_ = true;
  return Status::Ok();
}

void Server::Stop() {
  if (!started_) return;
  started_ = false;
  service_->Shutdown();
  http_->stop();
  // Idle keep-alive connections would otherwise hold the workers until they time out.
  ShutDownTlsConnections(this);
  if (listener_.joinable()) listener_.join();
  http_.reset();
  service_.reset();
  ::close(state_lock_);
  state_lock_ = -1;
}

CounterValues Server::counters() const { return service_ ? service_->counters().Read() : CounterValues(); }

void Server::ResetCounters() {
  if (service_) service_->counters().Reset();
}

void Server::SetFaults(const FaultSettings& settings) {
  if (service_) service_->ApplyFaults(settings);
}

void Server::ClearFaults() {
  if (service_) service_->faults().Clear();
}

FaultSettings Server::faults() const { return service_ ? service_->faults().Current() : FaultSettings(); }

void Server::ExpireAllTokens() {
  if (service_) service_->sessions().ExpireAll();
}

void Server::SetSyntheticDiff(const std::string& fs_path, uint64_t items) {
  if (service_) service_->SetSyntheticDiff(fs_path, items);
}

void Server::SetDeleteDelay(std::chrono::milliseconds delay) {
  if (service_) service_->SetDeleteDelay(delay);
}

}  // namespace clustersim
