// A small verifying HTTPS client for the emulator tests: trusts only the
// emulator's CA, keeps one connection alive, parses JSON replies.
#ifndef CLUSTERSIM_TESTS_HTTPS_CLIENT_H_
#define CLUSTERSIM_TESTS_HTTPS_CLIENT_H_

#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

#include "clustersim/json.h"

namespace clustersim_test {

struct Reply {
  int status = 0;  // 0: no response (connection trouble)
  std::string body;
  clustersim::JsonObject json;  // parsed when the body is a JSON object
  bool parsed = false;

  std::string Field(const char* key) const;  // a string field, "" if absent
  uint64_t Number(const char* key) const;    // an integer or decimal-string field, 0 if absent
  std::string NextPage() const;  // paging.next of a difference page, "" at the end
  // The field `field` (a string, or a number as decimal text) of each object in the array `array_key`.
  std::vector<std::string> Strings(const char* array_key, const char* field) const;
};

class HttpsClient {
 public:
  HttpsClient(const std::string& address, int port, const std::string& ca_path);

  Reply Get(const std::string& path_and_query);
  Reply Post(const std::string& path, const std::string& body);
  Reply Put(const std::string& path, const std::string& body);
  Reply Delete(const std::string& path);

  // Logs in and keeps the token for later requests; returns the login reply.
  Reply Login(const std::string& user, const std::string& password);
  void set_token(const std::string& token) { token_ = token; }
  const std::string& token() const { return token_; }

 private:
  Reply Finish(const httplib::Result& result);
  httplib::Headers Headers() const;

  httplib::SSLClient client_;
  std::string token_;
};

// A TLS connection that sends whatever bytes it is given, as a hostile or broken client would.
// Reads give up after `read_timeout_seconds` without data.
class RawTlsConnection {
 public:
  RawTlsConnection(const std::string& address, int port, int read_timeout_seconds = 10);
  ~RawTlsConnection();
  RawTlsConnection(const RawTlsConnection&) = delete;
  RawTlsConnection& operator=(const RawTlsConnection&) = delete;

  bool connected() const { return ssl_ != nullptr; }
  bool Send(const std::string& bytes);
  // Everything until the server closes the connection; "" and *closed false when it went quiet instead.
  std::string ReadToEnd(bool* closed);

 private:
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

// A TCP connection to address:port whose reads give up after `read_timeout_seconds`; -1 on failure.
int TcpConnect(const std::string& address, int port, int read_timeout_seconds = 10);

// Percent-encodes one URL component, "/" included.
std::string Encode(const std::string& value);

}  // namespace clustersim_test

#endif  // CLUSTERSIM_TESTS_HTTPS_CLIENT_H_
