#include "clustersim/server.h"

#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
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
#include "clustersim/connection_loop.h"
#include "clustersim/tls_connections.h"

namespace clustersim {

namespace {

// What httplib is told of connections it never sees: the loop owns them, and closes idle ones.
constexpr size_t kKeepAliveRequests = 100000000;
constexpr time_t kIdleSeconds = 10;

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

// httplib reads a request from and writes its answer to this, never to a socket: the connection
// loop has framed the request and sends the answer.
class MemoryStream : public httplib::Stream {
 public:
  MemoryStream(const std::string& input, const std::string& peer_address, int peer_port, std::string* output)
      : input_(input), peer_address_(peer_address), peer_port_(peer_port), output_(output) {}

  bool is_readable() const override { return offset_ < input_.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    size = std::min(size, input_.size() - offset_);
    std::memcpy(ptr, input_.data() + offset_, size);
    offset_ += size;
    return static_cast<ssize_t>(size);
  }
  ssize_t write(const char* ptr, size_t size) override {
    output_->append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = peer_address_;
    port = peer_port_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  // No descriptor: httplib answers 500 to one it cannot select() on.
  socket_t socket() const override { return INVALID_SOCKET; }

 private:
  const std::string& input_;
  const std::string& peer_address_;
  const int peer_port_;
  std::string* output_;
  size_t offset_ = 0;
};

bool ClosesConnection(const std::string& response) {
  const size_t head_end = response.find("\r\n\r\n");
  const std::string head = response.substr(0, head_end) + "\r\n";
  return head.find("\r\nConnection: close\r\n") != std::string::npos;
}

// Applies kCutBodyHeader: the head keeps announcing the whole body.
bool CutBody(std::string* response) {
  const size_t head_end = response->find("\r\n\r\n");
  const std::string marker = std::string("\r\n") + kCutBodyHeader + ": ";
  const size_t at = response->find(marker);
  if (head_end == std::string::npos || at == std::string::npos || at >= head_end) return false;
  const size_t line_end = response->find("\r\n", at + marker.size());
  const size_t keep = std::stoul(response->substr(at + marker.size(), line_end - at - marker.size()));
  response->erase(at, line_end - at);
  response->resize(std::min(response->size(), head_end - (line_end - at) + 4 + keep));
  return true;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    default: return "Bad Request";
  }
}

std::string RefusalResponse(const Status& refusal, bool head) {
  const std::string body = ErrorBody(refusal);
  std::string response = "HTTP/1.1 " + std::to_string(refusal.http_status()) + " " +
                         ReasonPhrase(refusal.http_status()) +
                         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n";
  if (!head) response += body;
  return response;
}

}  // namespace

// Routing and response writing stay httplib's; only framed requests reach it.
class RequestRouter : public httplib::Server {
 public:
  std::string Answer(const FramedRequest& request, const std::string& peer_address, int peer_port, bool* close) {
    std::string response;
    MemoryStream stream(request.canonical, peer_address, peer_port, &response);
    bool closed = false;
    bool answered = process_request(stream, false, closed, [](httplib::Request&) {});
    *close = !answered || closed || ClosesConnection(response) || CutBody(&response);
    return response;
  }
};

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

  tls_ = SSL_CTX_new(TLS_server_method());
  if (tls_ == nullptr || SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(tls_, cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls_, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(tls_) != 1) {
    Stop();
    return Status::BadRequest("cannot use the certificate " + cert_file + " with the key " + key_file);
  }
  SSL_CTX_set_options(tls_, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  CountTlsConnections(tls_, &service_->counters());

  router_ = std::make_unique<RequestRouter>();
  router_->set_keep_alive_max_count(kKeepAliveRequests);
  router_->set_keep_alive_timeout(kIdleSeconds);
  router_->set_payload_max_length(1 << 20);
  ClusterService* service = service_.get();
  auto handler = [service](const httplib::Request& request, httplib::Response& response) {
    service->Handle(request, response);
  };
  router_->Get(".*", handler);
  router_->Post(".*", handler);
  router_->Put(".*", handler);
  router_->Delete(".*", handler);
  router_->Patch(".*", handler);
  router_->Options(".*", handler);
  // Errors that httplib produces itself (an unknown method, a target it cannot parse) get the
  // error body too, and close the connection as every refusal does.
  router_->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
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

  ConnectionSettings settings;
  settings.workers = static_cast<size_t>(options_.worker_threads);
  settings.request_timeout = std::chrono::milliseconds(options_.request_timeout_ms);
  RequestRouter* router = router_.get();
  connections_ = std::make_unique<ConnectionLoop>(
      tls_, settings,
      [router](const FramedRequest& request, const std::string& peer_address, int peer_port, bool* close) {
        return router->Answer(request, peer_address, peer_port, close);
      },
      RefusalResponse);
  status = connections_->Listen(options_.bind_address, options_.port);
  if (!status.ok()) {
    Stop();
    return Status::Unavailable("cannot listen on " + options_.bind_address + ":" + std::to_string(options_.port) +
                               ": " + status.message());
  }
  port_ = connections_->port();
  connections_->Start();
  started_ = true;
  return Status::Ok();
}

void Server::Stop() {
  started_ = false;
  if (service_) service_->Shutdown();
  connections_.reset();
  router_.reset();
  service_.reset();
  if (tls_ != nullptr) SSL_CTX_free(tls_);
  tls_ = nullptr;
  if (state_lock_ >= 0) ::close(state_lock_);
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
