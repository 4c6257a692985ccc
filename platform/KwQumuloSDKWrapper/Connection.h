#ifndef KWQUMULOSDKWRAPPER_CONNECTION_H
#define KWQUMULOSDKWRAPPER_CONNECTION_H

#include <memory>
#include <string>

#include "QiError.h"
#include "TransportOptions.h"

namespace Qumulo {

class HttpTransport;
struct HttpResponse;

// One authenticated keep-alive connection to the cluster's REST service. Requests go out one at a
// time over the same TLS session. Not thread-safe: one user at a time.
class CConnection {
 public:
  CConnection();                                      // copies TransportOptions::Default()
  explicit CConnection(const TransportOptions& options);
  virtual ~CConnection();
  CConnection(const CConnection&) = delete;
  CConnection& operator=(const CConnection&) = delete;

  // Logs in at url ("https://host:port") with the credentials; the password is kept only to log in
  // again when the session expires, and never appears in a log line or an error.
  CQiError Connect(const std::string& url, const std::string& userName, const std::string& password);

  // Sends one request with the session token and returns a 2xx response, or a clear error naming
  // the method and path. Idempotent requests are retried on throttling, 5xx, timeouts and drops;
  // an expired session is renewed once and the request repeated.
  CQiError Send(const std::string& method, const std::string& path, const std::string& body,
                bool idempotent, HttpResponse& response);

  // Starts GET `path` on a background thread, so that its answer is on its way while the caller
  // works on the previous one. The next Send for exactly that GET takes the answer (or its error)
  // as its own; any other Send first waits for it and drops it. At most one is in flight.
  void Prefetch(const std::string& path);
  // Moves the last answer's body into `buffer`, which becomes the next receive buffer's spare.
  void TakeBody(std::string& buffer);

  const TransportOptions& Options() const { return m_options; }

 private:
  struct PrefetchedRequest;
  CQiError SendNow(const std::string& method, const std::string& path, const std::string& body, bool idempotent,
                   HttpResponse& response);
  // Waits for a request in flight; returns it, or null when there was none.
  std::unique_ptr<PrefetchedRequest> FinishPrefetch();

  TransportOptions m_options;
  std::unique_ptr<HttpTransport> m_transport;
  std::string m_url;
  std::string m_userName;
  std::string m_password;
  std::string m_token;
  std::unique_ptr<PrefetchedRequest> m_prefetch;
};

}  // namespace Qumulo

#endif
