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

std::string Status::ToString() const {
  if (ok()) return "OK";
  return std::to_string(http_status_) + " " + error_class_ + ": " + message_;
}

Status Status::Annotate(const std::string& context) const {
  if (ok()) return *this;
  return Status(http_status_, error_class_, context + ": " + message_);
}

}  // namespace clustersim
