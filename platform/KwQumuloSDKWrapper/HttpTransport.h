#ifndef KWQUMULOSDKWRAPPER_HTTPTRANSPORT_H
#define KWQUMULOSDKWRAPPER_HTTPTRANSPORT_H

#include <curl/curl.h>

#include <cstddef>
#include <string>

#include "TransportOptions.h"

namespace Qumulo {

// Bytes kept free behind every received body, so that the JSON parser can read it in place.
constexpr size_t kReceivePadding = 64;

// The answer to one request. The body is the connection's receive buffer: it stays valid until the
// connection's next request.
struct HttpResponse {
  long status = 0;
  int attempts = 0;                    // tries the request took; more than one after retries
  const std::string* body = nullptr;

  const std::string& Body() const;
};

// Sole owner of one libcurl easy handle and its header list. Reusing the handle for every request
// keeps one keep-alive TLS connection for the whole job. Not thread-safe.
class HttpTransport {
 public:
  explicit HttpTransport(const TransportOptions& options);
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // False when libcurl could not be set up or could not create its handle; SetupResult() says why.
  bool IsValid() const { return m_curl != nullptr; }
  CURLcode SetupResult() const { return m_setupResult; }

  // Performs one request, given at most `timeoutMillis` in all. `bearerToken` "" sends no
  // Authorization header. On CURLE_OK `status` holds the HTTP status and Body() the whole answer;
  // otherwise ErrorDetail() says what failed.
  CURLcode Perform(const std::string& method, const std::string& url, const std::string& body,
                   const std::string& bearerToken, long timeoutMillis, long& status);
  // The wait a 429 or 503 answer asked for with Retry-After, in seconds; -1 when it asked none.
  long RetryAfterSeconds() const { return m_retryAfterSeconds; }

  const std::string& Body() const { return m_body; }
  // Exchanges the receive buffer with `buffer`: the caller keeps the last body while the next
  // request fills the buffer it gave back.
  void SwapBody(std::string& buffer) { m_body.swap(buffer); }
  // Overwrites the last body in place: a login answer carries the session token.
  void WipeBody();
  // libcurl's own description of the last failure; never carries headers or bodies.
  const char* ErrorDetail() const { return m_errorBuffer; }

  // Why the last body was refused, when Perform returned CURLE_WRITE_ERROR.
  enum class BodyRefusal { kNone, kTooLarge, kOutOfMemory };
  BodyRefusal LastBodyRefusal() const { return m_bodyRefusal; }
  size_t MaxResponseBytes() const { return m_maxResponseBytes; }

 private:
  // Called from libcurl's C frames: never throws; refuses the body by returning 0.
  static size_t OnData(char* data, size_t size, size_t count, void* self) noexcept;
  bool Append(const char* data, size_t bytes);
  void SetHeaders(const std::string& bearerToken);
  void FreeHeaders();

  CURL* m_curl;
  curl_slist* m_headers = nullptr;
  std::string m_headersToken;          // the token m_headers carries
  bool m_headersBuilt = false;
  std::string m_body;                  // reused: its capacity outlives each request
  size_t m_maxResponseBytes;
  BodyRefusal m_bodyRefusal = BodyRefusal::kNone;
  char m_errorBuffer[CURL_ERROR_SIZE];
  CURLcode m_setupResult = CURLE_OK;  // the set-up's failure, or the first option the constructor could not set
  long m_retryAfterSeconds = -1;
};

}  // namespace Qumulo

#endif
