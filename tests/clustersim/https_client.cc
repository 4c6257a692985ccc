#include "https_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace clustersim_test {

std::string Reply::Field(const char* key) const {
  std::optional<std::string> value;
  if (!parsed || !json.GetString(key, &value).ok() || !value) return "";
  return *value;
}

uint64_t Reply::Number(const char* key) const {
  std::optional<uint64_t> value;
  if (!parsed || !json.GetUint(key, &value).ok() || !value) return 0;
  return *value;
}

std::string Reply::NextPage() const {
  std::optional<clustersim::JsonObject> paging;
  std::optional<std::string> next;
  if (!parsed || !json.GetObject("paging", &paging).ok() || !paging || !paging->GetString("next", &next).ok()) {
    return "";
  }
  return next.value_or("");
}

std::vector<std::string> Reply::Strings(const char* array_key, const char* field) const {
  std::vector<std::string> out;
  if (!parsed) return out;
  clustersim::IgnoreError(json.ForEachObject(array_key, [&](const clustersim::JsonObject& item) {
    std::optional<std::string> value;
    std::optional<uint64_t> number;
    if (!item.GetString(field, &value).ok() && item.GetUint(field, &number).ok() && number) {
      value = std::to_string(*number);
    }
    out.push_back(value.value_or(""));
    return clustersim::Status::Ok();
  }));
  return out;
}

HttpsClient::HttpsClient(const std::string& address, int port, const std::string& ca_path)
    : client_(address, port) {
  client_.set_ca_cert_path(ca_path.c_str());
  client_.enable_server_certificate_verification(true);
  client_.set_keep_alive(true);
  client_.set_connection_timeout(10, 0);
  client_.set_read_timeout(30, 0);
}

httplib::Headers HttpsClient::Headers() const {
  httplib::Headers headers;
  if (!token_.empty()) headers.emplace("Authorization", "Bearer " + token_);
  return headers;
}

Reply HttpsClient::Finish(const httplib::Result& result) {
  Reply reply;
  if (!result) return reply;
  reply.status = result->status;
  reply.body = result->body;
  reply.parsed = clustersim::JsonObject::Parse(reply.body, &reply.json).ok();
  return reply;
}

Reply HttpsClient::Get(const std::string& path_and_query) { return Finish(client_.Get(path_and_query.c_str(), Headers())); }

Reply HttpsClient::Post(const std::string& path, const std::string& body) {
  return Finish(client_.Post(path.c_str(), Headers(), body, "application/json"));
}

Reply HttpsClient::Put(const std::string& path, const std::string& body) {
  return Finish(client_.Put(path.c_str(), Headers(), body, "application/json"));
}

Reply HttpsClient::Delete(const std::string& path) { return Finish(client_.Delete(path.c_str(), Headers())); }

Reply HttpsClient::Login(const std::string& user, const std::string& password) {
  std::string body;
  body = "{\"username\":";
  clustersim::AppendJsonString(&body, user);
  body += ",\"password\":";
  clustersim::AppendJsonString(&body, password);
  body += "}";
  Reply reply = Post("/v1/session/login", body);
  if (reply.status == 200) token_ = reply.Field("bearer_token");
  return reply;
}

int TcpConnect(const std::string& address, int port, int read_timeout_seconds) {
  struct sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct timeval timeout = {read_timeout_seconds, 0};
  if (fd >= 0 && (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1 ||
                  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 ||
                  ::connect(fd, reinterpret_cast<struct sockaddr*>(&peer), sizeof(peer)) != 0)) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

RawTlsConnection::RawTlsConnection(const std::string& address, int port, int read_timeout_seconds)
    : fd_(TcpConnect(address, port, read_timeout_seconds)) {
  if (fd_ < 0) return;
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL* ssl = ctx_ != nullptr ? SSL_new(ctx_) : nullptr;
  if (ssl != nullptr && SSL_set_fd(ssl, fd_) == 1 && SSL_connect(ssl) == 1) {
    ssl_ = ssl;
  } else if (ssl != nullptr) {
    SSL_free(ssl);
  }
}

RawTlsConnection::~RawTlsConnection() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
}

bool RawTlsConnection::Send(const std::string& bytes) {
  return ssl_ != nullptr && SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

std::string RawTlsConnection::ReadToEnd(bool* closed) {
  std::string data;
  *closed = false;
  char buffer[16384];
  while (ssl_ != nullptr) {
    int n = SSL_read(ssl_, buffer, sizeof(buffer));
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
      continue;
    }
    bool timed_out = SSL_get_error(ssl_, n) == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK);
    *closed = !timed_out;
    break;
  }
  return data;
}

std::string Encode(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

}  // namespace clustersim_test
