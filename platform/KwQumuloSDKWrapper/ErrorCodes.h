#ifndef KWQUMULOSDKWRAPPER_ERRORCODES_H
#define KWQUMULOSDKWRAPPER_ERRORCODES_H

#include "FXCodeLocation.h"

// Where a wrapper failure is raised or passed through: the file is always the library's name.
#define QW_HERE FXCodeLocation("KwQumuloSDKWrapper", __PRETTY_FUNCTION__, __LINE__)

namespace Qumulo {

// Every Win32-style code that the wrapper raises, with what it stands for. docs/wrapper.md
// carries the same table for the agent's developers.
enum WrapperErrorCode : unsigned int {
  kErrorNotFound = 2,               // HTTP 404: no such path, snapshot or route
  kErrorAccessDenied = 5,           // HTTP 401/403: login refused, or the renewed session refused too
  kErrorInvalidData = 13,           // malformed JSON, a missing or wrong-typed field, a bad id
  kErrorOutOfMemory = 14,           // libcurl could not create its handle
  kErrorNotSupported = 50,          // an HTTP status the protocol does not define
  kErrorUnexpectedNetwork = 59,     // any other transport failure
  kErrorInvalidParameter = 87,      // HTTP 400; a URL that is not https:// or that libcurl cannot use
  kErrorBusy = 170,                 // HTTP 429: the cluster throttles us
  kErrorConnectionRefused = 1225,   // nothing listens at the address
  kErrorInternal = 1359,            // HTTP 5xx
  kErrorTimeout = 1460,             // connect timeout, or the cluster stopped sending
  kErrorNotConnected = 2250,        // a request before a successful Connect
  kErrorConflict = 4317,            // HTTP 409: the request contradicts the cluster's state
  kErrorConnectionReset = 10054,    // the connection dropped, or garbled its answer, in the middle of a request
  kErrorHostNotFound = 11001,       // the host name does not resolve
  kErrorSecureFailure = 12175,      // TLS handshake failed or the certificate is not trusted
};

// The code for a non-2xx HTTP status.
unsigned int ErrorCodeFromHttpStatus(long status);
// The code for a failed libcurl transfer (a CURLcode other than CURLE_OK).
unsigned int ErrorCodeFromCurl(int curlCode);

// True when the cluster answered with trouble that is worth another try of an idempotent request.
bool IsRetryableHttpStatus(long status);
// True when the transfer failed in a way another try may cure: timeouts and dropped connections.
// Refused connections, name and TLS failures are not: they will not heal within a backoff.
bool IsRetryableCurl(int curlCode);

}  // namespace Qumulo

#endif
