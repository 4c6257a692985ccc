#include "clustersim/status.h"

namespace clustersim {

Status Status::ServerTrouble(int http_status, std::string message) {
  switch (http_status) {
    case 429:
      return Status(429, "http_too_many_requests_error", std::move(message));
    case 503:
      return Unavailable(std::move(message));
    default:
      return Internal(std::move(message));
  }
}

Status Status::Refused(int http_status, std::string message) {
  switch (http_status) {
    case 413:
      return Status(413, "http_payload_too_large_error", std::move(message));
    case 414:
      return Status(414, "http_uri_too_long_error", std::move(message));
    case 415:
      return Status(415, "http_unsupported_media_type_error", std::move(message));
    default:
      return BadRequest(std::move(message));
  }
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return std::to_string(http_status_) + " " + error_class_ + ": " + message_;
}

Status Status::Annotate(const std::string& context) const {
  if (ok()) return *this;
  return Status(http_status_, error_class_, context + ": " + message_);
}

}  // namespace clustersim
