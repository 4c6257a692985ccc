// Stable 64-bit identifiers for file-system objects under the root. An object
// is keyed by device, inode, birth time and inode generation, so a directory
// removed and made again gets a new id even when the inode number is reused.
// Ids start above 2^53 and are persisted in the state directory. Thread-safe.
#ifndef CLUSTERSIM_FILE_IDS_H_
#define CLUSTERSIM_FILE_IDS_H_

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "clustersim/path_resolver.h"
#include "clustersim/status.h"

namespace clustersim {

struct ObjectKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t birth_ns = 0;    // statx birth time where the file system has one
  uint64_t generation = 0;  // inode generation where the file system has one
  bool operator==(const ObjectKey& other) const {
    return device == other.device && inode == other.inode && birth_ns == other.birth_ns &&
           generation == other.generation;
  }
};

// Reads the identity of the object at `disk_path` (not following a final symlink).
Status ReadObjectKey(const std::string& disk_path, ObjectKey* key);

class FileIdTable {
 public:
  static constexpr uint64_t kFirstId = (uint64_t{1} << 53) + 1;

  FileIdTable() = default;
  ~FileIdTable();
  FileIdTable(const FileIdTable&) = delete;
  FileIdTable& operator=(const FileIdTable&) = delete;

  // Loads the table kept in `state_dir` and appends to it from then on.
  Status Open(const std::string& state_dir, const PathResolver* resolver);

  // The id of the resolved object, minting and persisting one on first sight.
  Status IdOf(const ResolvedPath& path, uint64_t* id);

  // Finds the object that carries `id` now: 404 when it no longer exists.
  Status Locate(uint64_t id, ResolvedPath* out);

  // Where the object with `id` was last seen, whether or not it still exists there: how a
  // snapshot's copy of a file deleted since is found by its id.
  Status LastKnownPath(uint64_t id, std::string* cluster_path);

 private:
  struct KeyHash {
    size_t operator()(const ObjectKey& key) const;
  };
  struct Known {
    ObjectKey key;
    std::string cluster_path;  // where it was last seen
  };

  Status AppendLocked(uint64_t id, const Known& known);
  bool FindInTree(const ObjectKey& key, const std::string& disk_dir, std::string* found) const;

  const PathResolver* resolver_ = nullptr;
  std::mutex mutex_;
  std::FILE* log_ = nullptr;
  uint64_t next_id_ = kFirstId;
  std::unordered_map<ObjectKey, uint64_t, KeyHash> ids_;
  std::unordered_map<uint64_t, Known> known_;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_FILE_IDS_H_
