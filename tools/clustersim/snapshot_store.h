// The cluster's snapshots: records persisted in the state directory and frozen
// images copied to "<state>/images/<id>/", where nothing in the served tree can
// redirect them. The snapshotted directory shows each image as the symlink
// ".snapshot/<id>_<name>" (how a client reads a snapshot over NFS); the
// emulator itself never goes through those links, so a directory renamed or
// swapped keeps its snapshots and cannot point the emulator elsewhere.
// Deletion is asynchronous like a cluster's: a deleted snapshot stays listed as
// in_delete until a background thread removes its record and then its image,
// once no comparison holds it open. A snapshot whose expiration passes is
// deleted the same way. Crash-safe: a start counts ids past every image it
// finds, then removes the images that no record names.
// Thread-safe; image copies run outside the lock so that listing stays quick.
#ifndef CLUSTERSIM_SNAPSHOT_STORE_H_
#define CLUSTERSIM_SNAPSHOT_STORE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clustersim/file_ids.h"
#include "clustersim/path_resolver.h"
#include "clustersim/status.h"
#include "clustersim/unique_fd.h"

namespace clustersim {

struct SnapshotRecord {
  uint64_t id = 0;
  std::string name;            // as given at creation (a v3 creation's suffix)
  std::string directory_name;  // "<id>_<name>", the image's directory under ".snapshot"
  uint64_t source_file_id = 0;
  std::string source_path;     // cluster path of the snapshotted directory, ending with "/"
  int64_t timestamp = 0;       // creation time, seconds since the epoch...
  int64_t timestamp_nsec = 0;  // ...and nanoseconds
  std::string expiration;      // "" when none
  bool in_delete = false;
};

// The record as the API's v2 and v3 snapshot routes show it; the status routes add the
// snapshotted directory's path, and the holders and locks that the emulator never has.
std::string SnapshotV2Json(const SnapshotRecord& record, bool with_status = false);
std::string SnapshotV3Json(const SnapshotRecord& record, bool with_status = false);

class SnapshotStore;

// A snapshot's image held open: the image stays whole while the handle lives. Move-only.
class ImageHandle {
 public:
  ImageHandle() = default;
  ~ImageHandle() { Release(); }
  ImageHandle(ImageHandle&& other) noexcept;
  ImageHandle& operator=(ImageHandle&& other) noexcept;
  ImageHandle(const ImageHandle&) = delete;
  ImageHandle& operator=(const ImageHandle&) = delete;

  // The image's top directory, for *at() calls that follow no symlink.
  int fd() const { return fd_.get(); }

 private:
  friend class SnapshotStore;
  void Release();

  SnapshotStore* store_ = nullptr;
  uint64_t id_ = 0;
  UniqueFd fd_;
};

class SnapshotStore {
 public:
  SnapshotStore() = default;
  ~SnapshotStore();  // stops the background removal; pending ones resume at the next Open()
  SnapshotStore(const SnapshotStore&) = delete;
  SnapshotStore& operator=(const SnapshotStore&) = delete;

  // Loads and checks the records, removes images that none names and resumes pending
  // deletions; a state that cannot be trusted is refused. `file_ids` finds a snapshotted
  // directory wherever it now is. `on_removed` is called (without locks held) for each
  // snapshot whose deletion completed.
  Status Open(const std::string& state_dir, const PathResolver* resolver, FileIdTable* file_ids,
              std::chrono::milliseconds delete_delay, std::function<void(uint64_t)> on_removed);

  // Freezes the directory `source` (whose id is `source_file_id`). `expiration` is "" or an
  // RFC 3339 time.
  Status Create(const std::string& name, uint64_t source_file_id, const ResolvedPath& source,
                const std::string& expiration, SnapshotRecord* out);
  std::vector<SnapshotRecord> List() const;  // creation order
  Status Get(uint64_t id, SnapshotRecord* out) const;
  // Marks the snapshot in_delete; it goes after the delete delay (at once for a delay of 0).
  // Deleting a snapshot already in_delete changes nothing.
  Status Delete(uint64_t id);
  // Replaces the expiration ("" or an RFC 3339 time) of a snapshot not being deleted.
  Status SetExpiration(uint64_t id, const std::string& expiration, SnapshotRecord* out);
  // Applies to deletions requested from now on.
  void SetDeleteDelay(std::chrono::milliseconds delay);
  // Opens the snapshot's image for reading: 404 once its record has gone, and the image
  // stays whole until the handle goes (its removal waits).
  Status OpenImage(uint64_t id, ImageHandle* out);
  // Where the image lies; reading by path races a deletion, OpenImage does not.
  std::string ImagePath(const SnapshotRecord& record) const;
  // The disk path of what `cluster_path` (the snapshotted directory or below it) was in the
  // snapshot: 404 fs_no_such_entry_error when it did not exist then or lies outside the
  // directory. Symlinks inside an image are reported, never followed.
  Status LocateInImage(const SnapshotRecord& record, const std::string& cluster_path, std::string* disk_path) const;

 private:
  friend class ImageHandle;
  using Clock = std::chrono::steady_clock;

  Status LoadLocked(const std::string& content);
  Status CheckImagesLocked();
  Status AdoptOldImageLocked(const SnapshotRecord& record);
  Status OpenSourceDirectory(const std::string& disk_path, UniqueFd* out) const;
  void Link(const SnapshotRecord& record, int directory_fd) const;
  void Unlink(const SnapshotRecord& record) const;
  Status SaveLocked() const;
  void ScheduleExpiryLocked(const SnapshotRecord& record);
  void Remove(uint64_t id);
  void RemoveLoop();
  void Unpin(uint64_t id);

  const PathResolver* resolver_ = nullptr;
  FileIdTable* file_ids_ = nullptr;
  UniqueFd root_fd_;
  UniqueFd images_fd_;
  std::string images_dir_;  // absolute: the links in the served tree point into it
  std::string state_file_;
  std::function<void(uint64_t)> on_removed_;
  mutable std::mutex mutex_;
  uint64_t next_id_ = 1;
  std::map<uint64_t, SnapshotRecord> snapshots_;  // by id = creation order
  std::chrono::milliseconds delete_delay_{0};
  std::map<uint64_t, Clock::time_point> removals_;  // in_delete id -> when it goes
  std::map<uint64_t, std::chrono::system_clock::time_point> expiries_;  // id -> its expiration
  std::map<uint64_t, int> readers_;  // id -> open ImageHandles
  std::condition_variable readers_cv_;
  std::condition_variable removal_cv_;
  bool stopping_ = false;
  std::thread remover_;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_SNAPSHOT_STORE_H_
