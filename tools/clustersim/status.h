// Status: the outcome of an emulator operation, carrying the HTTP status and
// error kind that the REST protocol reports for it. Cheap on success.
// Immutable value type; safe to share between threads.
#ifndef CLUSTERSIM_STATUS_H_
#define CLUSTERSIM_STATUS_H_

#include <string>

namespace clustersim {

class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  static Status Ok() { return Status(); }
  static Status BadRequest(std::string message) { return Status(400, "bad_request", std::move(message)); }
  static Status Unauthorized(std::string message) { return Status(401, "unauthorized", std::move(message)); }
  static Status NotFound(std::string message) { return Status(404, "not_found", std::move(message)); }
  static Status Conflict(std::string message) { return Status(409, "conflict", std::move(message)); }
  static Status Internal(std::string message) { return Status(500, "internal", std::move(message)); }
  static Status Unavailable(std::string message) { return Status(503, "unavailable", std::move(message)); }
  // The kind that the protocol pairs with a server-trouble status (429, 500, 503).
  static Status ServerTrouble(int http_status, std::string message);

  bool ok() const { return http_status_ == 0; }
  int http_status() const { return http_status_; }
  const std::string& kind() const { return kind_; }
  const std::string& message() const { return message_; }
  std::string ToString() const;

  // Prefixes the message with context, e.g. "loading snapshots: ".
  Status Annotate(const std::string& context) const;

 private:
  Status(int http_status, std::string kind, std::string message)
      : http_status_(http_status), kind_(std::move(kind)), message_(std::move(message)) {}

  int http_status_ = 0;
  std::string kind_;
  std::string message_;
};

// Explicitly drops a status whose failure the caller tolerates.
inline void IgnoreError(const Status&) {}

}  // namespace clustersim

#endif  // CLUSTERSIM_STATUS_H_
