#include "clustersim/file_ids.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "clustersim/percent_coding.h"

namespace clustersim {

namespace {

// Paths go into the text log with '%', whitespace and control bytes escaped.
std::string EscapePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c == '%' || c == 0x7f) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

Status ReadObjectKey(const std::string& disk_path, ObjectKey* key) {
  struct statx sx;
  if (::statx(AT_FDCWD, disk_path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Status::NoSuchEntry("no such path");
    return Status::Internal(std::string("cannot stat: ") + std::strerror(errno));
  }
  *key = ObjectKey();
  key->device = (uint64_t{sx.stx_dev_major} << 32) | sx.stx_dev_minor;
  key->inode = sx.stx_ino;
  if (sx.stx_mask & STATX_BTIME) {
    key->birth_ns = static_cast<uint64_t>(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec;
  }
  // Inode numbers and coarse birth times can repeat for a quickly re-made
  // directory; the generation number tells such objects apart.
  if (S_ISDIR(sx.stx_mode) || S_ISREG(sx.stx_mode)) {
    int fd = ::open(disk_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      int generation = 0;
      if (::ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
        key->generation = static_cast<uint32_t>(generation);
      }
      ::close(fd);
    }
  }
  return Status::Ok();
}

size_t FileIdTable::KeyHash::operator()(const ObjectKey& key) const {
  uint64_t h = key.inode * 0x9E3779B97F4A7C15ull;
  h ^= key.device + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= key.birth_ns + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= key.generation + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  return static_cast<size_t>(h);
}

FileIdTable::~FileIdTable() {
  if (log_ != nullptr) std::fclose(log_);
}

Status FileIdTable::Open(const std::string& state_dir, const PathResolver* resolver) {
  resolver_ = resolver;
  const std::string path = state_dir + "/file-ids.log";
  if (std::FILE* in = std::fopen(path.c_str(), "r")) {
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = ::getline(&line, &capacity, in)) > 0) {
      uint64_t id = 0;
      Known known;
      int consumed = 0;
      // A torn last line (crash while appending) is skipped.
      if (line[length - 1] != '\n' ||
          std::sscanf(line, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %n", &id,
                      &known.key.device, &known.key.inode, &known.key.birth_ns, &known.key.generation,
                      &consumed) != 5 ||
          consumed <= 0 ||
          !PercentDecode(std::string(line + consumed, static_cast<size_t>(length) - consumed - 1),
                        &known.cluster_path) ||
          known.cluster_path.empty() || id < kFirstId) {
        continue;
      }
      auto previous = known_.find(id);
      if (previous != known_.end()) ids_.erase(previous->second.key);
      ids_[known.key] = id;
      known_[id] = known;
      if (id >= next_id_) next_id_ = id + 1;
    }
    std::free(line);
    std::fclose(in);
  }
  log_ = std::fopen(path.c_str(), "a");
  if (log_ == nullptr) return Status::Internal("cannot open " + path + ": " + std::strerror(errno));
  return Status::Ok();
}

Status FileIdTable::AppendLocked(uint64_t id, const Known& known) {
  int written = std::fprintf(log_, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %s\n", id,
                             known.key.device, known.key.inode, known.key.birth_ns, known.key.generation,
                             EscapePath(known.cluster_path).c_str());
  if (written < 0 || std::fflush(log_) != 0) return Status::Internal("cannot record a file id");
  return Status::Ok();
}

Status FileIdTable::IdOf(const ResolvedPath& path, uint64_t* id) {
  ObjectKey key;
  Status status = ReadObjectKey(path.disk_path, &key);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ids_.find(key);
  if (it != ids_.end()) {
    *id = it->second;
    Known& known = known_[*id];
    known.seen = ++clock_;
    if (known.cluster_path != path.cluster_path) {
      known.cluster_path = path.cluster_path;
      return AppendLocked(*id, known);
    }
    return Status::Ok();
  }
  *id = next_id_++;
  Known known{key, path.cluster_path, ++clock_};
  ids_[key] = *id;
  known_[*id] = known;
  return AppendLocked(*id, known);
}

void FileIdTable::IndexTree(const std::string& disk_dir, Index* index) const {
  DIR* dir = ::opendir(disk_dir.empty() ? "/" : disk_dir.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> subdirs;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name == kSnapshotDirName) continue;
    std::string child = disk_dir + "/" + name;
    struct statx sx;
    if (::statx(AT_FDCWD, child.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) continue;
    Indexed indexed;
    indexed.device = (uint64_t{sx.stx_dev_major} << 32) | sx.stx_dev_minor;
    if (sx.stx_mask & STATX_BTIME) {
      indexed.birth_ns = static_cast<uint64_t>(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec;
    }
    indexed.disk_path = child;
    (*index)[sx.stx_ino].push_back(std::move(indexed));
    if (S_ISDIR(sx.stx_mode)) subdirs.push_back(std::move(child));
  }
  ::closedir(dir);
  for (const std::string& subdir : subdirs) IndexTree(subdir, index);
}

bool FileIdTable::FindInIndex(const ObjectKey& key, std::string* found, bool* listed) const {
  *listed = false;
  auto it = index_.find(key.inode);
  if (it == index_.end()) return false;
  for (const Indexed& indexed : it->second) {
    if (indexed.device != key.device || indexed.birth_ns != key.birth_ns) continue;
    *listed = true;
    ObjectKey candidate;
    if (ReadObjectKey(indexed.disk_path, &candidate).ok() && candidate == key) {
      *found = indexed.disk_path;
      return true;
    }
  }
  return false;
}

uint64_t FileIdTable::walks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return walks_;
}

Status FileIdTable::LastKnownPath(uint64_t id, std::string* cluster_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = known_.find(id);
  if (it == known_.end()) return Status::NoSuchInode("no object with id " + std::to_string(id));
  *cluster_path = it->second.cluster_path;
  return Status::Ok();
}

Status FileIdTable::Locate(uint64_t id, ResolvedPath* out) {
  Known known;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = known_.find(id);
    if (it == known_.end()) return Status::NoSuchInode("no object with id " + std::to_string(id));
    known = it->second;
  }
  ResolvedPath candidate;
  ObjectKey key;
  if (resolver_->Resolve(known.cluster_path, &candidate).ok() &&
      ReadObjectKey(candidate.disk_path, &key).ok() && key == known.key) {
    std::lock_guard<std::mutex> lock(mutex_);
    known_[id].seen = ++clock_;
    *out = candidate;
    return Status::Ok();
  }
  // Moved since we last saw it: look for it under the root.
  const std::string gone = "object with id " + std::to_string(id) + " no longer exists";
  ObjectKey root_key;
  std::string root_disk = resolver_->DiskPathOf("/");
  std::string found;
  if (ReadObjectKey(root_disk, &root_key).ok() && root_key == known.key) {
    found = root_disk;
  } else {
    std::lock_guard<std::mutex> walk_lock(walk_mutex_);
    uint64_t seen = 0, started = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = known_[id].seen;
      started = index_started_;
    }
    // An index walked after the last sighting holds the object unless it has gone, or moved
    // since; only a path that no longer fits calls for another walk.
    bool listed = false;
    bool hit = started > seen && FindInIndex(known.key, &found, &listed);
    if (!hit && (started <= seen || listed)) {
      Index index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        started = ++clock_;
      }
      IndexTree(root_disk == "/" ? "" : root_disk, &index);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        index_ = std::move(index);
        index_started_ = started;
        ++walks_;
      }
      hit = FindInIndex(known.key, &found, &listed);
    }
    if (!hit) return Status::NoSuchInode(gone);
  }
  std::string cluster_path = resolver_->ClusterPathOf(found);
  Status status = resolver_->Resolve(cluster_path, &candidate);
  if (!status.ok()) return Status::NoSuchInode("object with id " + std::to_string(id) + " is out of reach");
  uint64_t same_id = 0;
  status = IdOf(candidate, &same_id);
  if (!status.ok()) return status;
  *out = candidate;
  return Status::Ok();
}

}  // namespace clustersim
