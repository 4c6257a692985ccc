// Status: the outcome of an emulator operation, carrying the HTTP status and
// the error class that the cluster's REST API reports for it. Cheap on success.
// Immutable value type; safe to share between threads.
#ifndef CLUSTERSIM_STATUS_H_
#define CLUSTERSIM_STATUS_H_

#include <string>

namespace clustersim {

class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  static Status Ok() { return Status(); }
  static Status BadRequest(std::string message) { return Status(400, "api_bad_request_error", std::move(message)); }
  static Status Unauthorized(std::string message) {
    return Status(401, "http_unauthorized_error", std::move(message));
  }
  // An unknown route: clients tell it from an unknown snapshot by the class.
  static Status NotFound(std::string message) { return Status(404, "http_not_found_error", std::move(message)); }
  static Status NoSuchSnapshot(std::string message) {
    return Status(404, "snapshot_not_found_error", std::move(message));
  }
  // A file id that names no object (a path that names nothing is NoSuchEntry).
  static Status NoSuchInode(std::string message) {
    return Status(404, "fs_no_such_inode_error", std::move(message));
  }
  // A path that names nothing (the one class the API documents).
  static Status NoSuchEntry(std::string message) {
    return Status(404, "fs_no_such_entry_error", std::move(message));
  }
  // A difference asked of snapshots of two directories.
  static Status SourceMismatch(std::string message) {
    return Status(400, "snapshot_source_mismatch_error", std::move(message));
  }
  static Status Internal(std::string message) {
    return Status(500, "http_internal_server_error", std::move(message));
  }
  static Status Unavailable(std::string message) {
    return Status(503, "http_service_unavailable_error", std::move(message));
  }
  // The class paired with a server-trouble status (429, 500, 503).
  static Status ServerTrouble(int http_status, std::string message);
  // A request refused for its size or encoding: 413, 414 or 415 with their classes.
  static Status Refused(int http_status, std::string message);

  bool ok() const { return http_status_ == 0; }
  int http_status() const { return http_status_; }
  const std::string& error_class() const { return error_class_; }
  const std::string& message() const { return message_; }
  std::string ToString() const;

  // Prefixes the message with context, e.g. "loading snapshots: ".
  Status Annotate(const std::string& context) const;

 private:
  Status(int http_status, std::string error_class, std::string message)
      : http_status_(http_status), error_class_(std::move(error_class)), message_(std::move(message)) {}

  int http_status_ = 0;
  std::string error_class_;
  std::string message_;
};

// Explicitly drops a status whose failure the caller tolerates.
inline void IgnoreError(const Status&) {}

}  // namespace clustersim

#endif  // CLUSTERSIM_STATUS_H_
