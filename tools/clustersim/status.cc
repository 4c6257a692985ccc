#include "clustersim/status.h"

namespace clustersim {

Status Status::ServerTrouble(int http_status, std::string message) {
  switch (http_status) {
    case 429:
      return Status(429, "throttled", std::move(message));
    case 503:
      return Status(503, "unavailable", std::move(message));
    default:
      return Status(500, "internal", std::move(message));
  }
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return std::to_string(http_status_) + " " + kind_ + ": " + message_;
}

Status Status::Annotate(const std::string& context) const {
  if (ok()) return *this;
  return Status(http_status_, kind_, context + ": " + message_);
}

}  // namespace clustersim
