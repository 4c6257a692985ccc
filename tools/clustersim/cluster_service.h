// The cluster's REST API over the emulator's state: version, sessions, tenants,
// file attributes and directory listings (live or as in a snapshot), NFS
// exports, snapshots and their status, paged differences of trees and of files,
// and the test hooks. Transport
// agnostic apart from httplib's request and response types. Thread-safe.
#ifndef CLUSTERSIM_CLUSTER_SERVICE_H_
#define CLUSTERSIM_CLUSTER_SERVICE_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "clustersim/diff_pages.h"
#include "clustersim/faults.h"
#include "clustersim/file_ids.h"
#include "clustersim/options.h"
#include "clustersim/path_resolver.h"
#include "clustersim/sessions.h"
#include "clustersim/snapshot_store.h"
#include "clustersim/status.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace clustersim {

// The most entries a difference page holds, whatever the client asks for.
inline constexpr uint64_t kMaxPageEntries = 10000;
inline constexpr uint64_t kDefaultPageEntries = 1000;

// The API's error body: {"module", "error_class", "description", "stack", "user_visible"}.
std::string ErrorBody(const Status& status);

// Sends `body` as the answer and then closes the connection: for requests after which the
// stream can no longer be trusted to start at a request boundary.
void AnswerAndClose(httplib::Response& response, std::string body);

// Set on a response that is to be cut short: the server sends the head and this many bytes of the
// body, without this header, and then closes the connection.
constexpr char kCutBodyHeader[] = "X-Clustersim-Cut-Body-At";

class ClusterService {
 public:
  ClusterService(const Options& options, std::string password);
  ClusterService(const ClusterService&) = delete;
  ClusterService& operator=(const ClusterService&) = delete;

  // Loads the persistent state kept in `state_dir`.
  Status Open(const std::string& state_dir);

  // Answers one request; never throws.
  void Handle(const httplib::Request& request, httplib::Response& response);

  // Wakes requests held back by the delay fault; later ones are not delayed.
  void Shutdown();

  FaultSwitches& faults() { return faults_; }
  Counters& counters() { return counters_; }
  SessionTable& sessions() { return sessions_; }
  // Replaces the difference of every snapshot pair of `fs_path`; 0 items removes the override.
  void SetSyntheticDiff(const std::string& fs_path, uint64_t items);
  // Applies a fault set, expiring the tokens when it says so.
  void ApplyFaults(const FaultSettings& settings);
  // How long snapshots deleted from now on stay listed as in_delete; 0 removes them at once.
  void SetDeleteDelay(std::chrono::milliseconds delay) { snapshots_.SetDeleteDelay(delay); }

 private:
  struct Reply {
    int status = 200;
    std::string body;  // JSON; may be empty
    int64_t retry_after_seconds = 0;  // sent as Retry-After when above 0
  };

  Reply Route(const httplib::Request& request);
  Reply RouteDebug(const httplib::Request& request);
  Status Authenticate(const httplib::Request& request);

  // Where a file named by a route is read: the live tree, or a snapshot's image.
  struct FileTarget {
    std::string cluster_path;  // normalised, no trailing "/"
    std::string disk_path;
    uint64_t id = 0;
  };

  Reply Login(const httplib::Request& request);
  Reply Version();
  Reply WhoAmI();
  Reply Tenants(const std::string* id_text);
  Reply FileAttributes(const httplib::Request& request, const std::string& ref);
  Reply DirectoryEntries(const httplib::Request& request, const std::string& raw_ref, const std::string& ref);
  Status FindFile(const std::string& ref, const SnapshotRecord* snapshot, FileTarget* out);
  // The snapshot a file route names, its image held whole by `image` while the route reads it.
  Status SnapshotParam(const httplib::Request& request, std::optional<SnapshotRecord>* out, ImageHandle* image);
  Reply NfsExports(int version);
  Reply CreateSnapshot(const httplib::Request& request, int version);
  Reply ListSnapshots(const httplib::Request& request, int version, bool with_status);
  Reply GetSnapshot(const std::string& id_text, int version, bool with_status);
  Reply DeleteSnapshot(const std::string& id_text, int version);
  Reply PatchSnapshot(const httplib::Request& request, const std::string& id_text, int version);
  Status SnapshotPair(const std::string& newer_text, const std::string& older_text, SnapshotRecord* newer,
                      SnapshotRecord* older);
  Reply Changes(const httplib::Request& request, const std::string& newer_text, const std::string& older_text);
  Reply FileChanges(const httplib::Request& request, int version, const std::string& newer_text,
                    const std::string& older_text, const std::string& raw_ref, const std::string& ref);
  Status BuildDifference(const SnapshotRecord& older, const SnapshotRecord& newer, RenderedDiff* out);
  Status PageLimit(const httplib::Request& request, uint64_t* limit);

  static Reply ErrorReply(const Status& status);
  void WaitFor(std::chrono::milliseconds delay);

  const Options options_;
  SessionTable sessions_;
  PathResolver resolver_;
  FileIdTable file_ids_;
  DiffCache diff_cache_;
  SnapshotStore snapshots_;  // after the cache: its removal thread forgets cached pairs
  FaultSwitches faults_;
  Counters counters_;

  std::mutex synthetic_mutex_;
  std::map<std::string, uint64_t> synthetic_diffs_;  // directory path ending with "/" -> items

  std::mutex shutdown_mutex_;
  std::condition_variable shutdown_cv_;
  bool shutting_down_ = false;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_CLUSTER_SERVICE_H_
