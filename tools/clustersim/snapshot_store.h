// The cluster's snapshots: records persisted in the state directory and frozen
// images copied to "<directory>/.snapshot/<id>_<name>/". Thread-safe; image
// copies run outside the lock so that listing stays quick while one is made.
#ifndef CLUSTERSIM_SNAPSHOT_STORE_H_
#define CLUSTERSIM_SNAPSHOT_STORE_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "clustersim/path_resolver.h"
#include "clustersim/status.h"

namespace clustersim {

struct SnapshotRecord {
  uint64_t id = 0;
  std::string name;
  std::string directory_name;  // "<id>_<name>", the image's directory under ".snapshot"
  uint64_t source_file_id = 0;
  std::string source_path;     // cluster path of the snapshotted directory, ending with "/"
  int64_t timestamp = 0;       // creation time, seconds since the epoch
  std::string expiration;
  bool in_delete = false;
};

// The record as the protocol shows it.
std::string SnapshotToJson(const SnapshotRecord& record);

class SnapshotStore {
 public:
  Status Open(const std::string& state_dir, const PathResolver* resolver);

  // Freezes the directory `source` (whose id is `source_file_id`).
  Status Create(const std::string& name, uint64_t source_file_id, const ResolvedPath& source,
                const std::string& expiration, SnapshotRecord* out);
  std::vector<SnapshotRecord> List() const;  // creation order
  Status Get(uint64_t id, SnapshotRecord* out) const;
  // Forgets the snapshot and removes its image.
  Status Delete(uint64_t id);
  std::string ImagePath(const SnapshotRecord& record) const;

 private:
  Status SaveLocked() const;

  const PathResolver* resolver_ = nullptr;
  std::string state_file_;
  mutable std::mutex mutex_;
  uint64_t next_id_ = 1;
  std::map<uint64_t, SnapshotRecord> snapshots_;  // by id = creation order
};

}  // namespace clustersim

#endif  // CLUSTERSIM_SNAPSHOT_STORE_H_
