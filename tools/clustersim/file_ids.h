// Stable 64-bit identifiers for file-system objects under the root. An object
// is keyed by device, inode, birth time and inode generation, so a directory
// removed and made again gets a new id even when the inode number is reused.
// Ids start above 2^53 and are persisted in the state directory. An object no
// longer where it was last seen is looked up in an index of the whole tree,
// walked again only when the object was seen after the last walk began, so a
// stale id costs one walk, not one per request. Thread-safe.
#ifndef CLUSTERSIM_FILE_IDS_H_
#define CLUSTERSIM_FILE_IDS_H_

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

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

  // How often the tree was walked to find moved objects.
  uint64_t walks() const;

  // Where the object with `id` was last seen, whether or not it still exists there: how a
  // snapshot's copy of a file deleted since is found by its id.
  Status LastKnownPath(uint64_t id, std::string* cluster_path);

 private:
  struct KeyHash {
    size_t operator()(const ObjectKey& key) const;
  };
  struct Known {
    ObjectKey key;
    std::string cluster_path;  // where it was last seen...
    uint64_t seen = 0;         // ...and when, on clock_
  };
  struct Indexed {
    uint64_t device = 0;
    uint64_t birth_ns = 0;
    std::string disk_path;
  };
  using Index = std::unordered_map<uint64_t, std::vector<Indexed>>;  // by inode

  Status AppendLocked(uint64_t id, const Known& known);
  void IndexTree(const std::string& disk_dir, Index* index) const;
  // True when the index has the object where it still is; `listed` tells whether it has it at all.
  bool FindInIndex(const ObjectKey& key, std::string* found, bool* listed) const;

  const PathResolver* resolver_ = nullptr;
  mutable std::mutex mutex_;
  uint64_t clock_ = 0;  // orders sightings and walks
  std::mutex walk_mutex_;  // one walk at a time; taken before mutex_
  Index index_;
  uint64_t index_started_ = 0;  // clock_ when the walk behind index_ began
  uint64_t walks_ = 0;
  std::FILE* log_ = nullptr;
  uint64_t next_id_ = kFirstId;
  std::unordered_map<ObjectKey, uint64_t, KeyHash> ids_;
  std::unordered_map<uint64_t, Known> known_;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_FILE_IDS_H_
