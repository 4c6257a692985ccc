#include "ErrorCodes.h"

#include <curl/curl.h>

namespace Qumulo {

unsigned int ErrorCodeFromHttpStatus(long status) {
  switch (status) {
    case 400: return kErrorInvalidParameter;
    case 401:
    case 403: return kErrorAccessDenied;
    case 404: return kErrorNotFound;
    case 409: return kErrorConflict;
    case 429: return kErrorBusy;
    default: return status >= 500 && status <= 599 ? kErrorInternal : kErrorNotSupported;
  }
}

unsigned int ErrorCodeFromCurl(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorTimeout;
    case CURLE_COULDNT_CONNECT:
      return kErrorConnectionRefused;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kErrorHostNotFound;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return kErrorSecureFailure;
    // Connect accepts https:// URLs only, so an unsupported protocol here is a garbled status line
    // (libcurl's "HTTP/0.9"): the connection is as broken as a dropped one.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
      return kErrorConnectionReset;
    case CURLE_URL_MALFORMAT:
      return kErrorInvalidParameter;
    case CURLE_OUT_OF_MEMORY:
      return kErrorOutOfMemory;
    default:
      return kErrorUnexpectedNetwork;
  }
}

bool IsRetryableHttpStatus(long status) { return status == 429 || (status >= 500 && status <= 599); }

bool IsRetryableCurl(int curlCode) {
  const unsigned int code = ErrorCodeFromCurl(curlCode);
  return code == kErrorTimeout || code == kErrorConnectionReset;
}

}  // namespace Qumulo
