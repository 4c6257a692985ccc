#include "clustersim/diff_engine.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "clustersim/path_resolver.h"
#include "clustersim/tree_copy.h"
#include "clustersim/unique_fd.h"

namespace clustersim {

const char* ChangeOpName(ChangeOp op) {
  switch (op) {
    case ChangeOp::kCreated:
      return "CREATE";
    case ChangeOp::kDeleted:
      return "DELETE";
    case ChangeOp::kModified:
      return "MODIFY";
  }
  return "MODIFY";
}

namespace {

class ImageComparer {
 public:
  ImageComparer(std::string base, std::vector<DiffEntry>* out) : base_(std::move(base)), out_(out) {}

  // `relative` is "" for the snapshotted directory, else "a/b".
  Status CompareDirectories(const std::string& relative, int older, int newer, const struct stat& older_st,
                            const struct stat& newer_st) {
    std::vector<std::string> older_names, newer_names;
    Status status = SortedNames(older, &older_names);
    if (status.ok()) status = SortedNames(newer, &newer_names);
    if (!status.ok()) return status;
    bool entries_changed = false;
    size_t i = 0, j = 0;
    while (status.ok() && (i < older_names.size() || j < newer_names.size())) {
      int order = i == older_names.size()   ? 1
                  : j == newer_names.size() ? -1
                                            : older_names[i].compare(newer_names[j]);
      if (order < 0) {
        entries_changed = true;
        status = EmitItem(ChangeOp::kDeleted, Join(relative, older_names[i]), older, older_names[i]);
        ++i;
      } else if (order > 0) {
        entries_changed = true;
        status = EmitItem(ChangeOp::kCreated, Join(relative, newer_names[j]), newer, newer_names[j]);
        ++j;
      } else {
        status = CompareItems(relative, older_names[i], older, newer, &entries_changed);
        ++i;
        ++j;
      }
    }
    if (!status.ok()) return status;
    if (entries_changed || MetadataChanged(older_st, newer_st)) {
      out_->push_back({ChangeOp::kModified, true, PathOf(relative, true)});
    }
    return Status::Ok();
  }

 private:
  static bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }

  // Mode (type included), owner, group or modification time: what a client sees change. The access
  // time is left out, and so is the change time, which every copy into an image sets anew.
  static bool MetadataChanged(const struct stat& a, const struct stat& b) {
    return a.st_mode != b.st_mode || a.st_uid != b.st_uid || a.st_gid != b.st_gid || !SameTime(a.st_mtim, b.st_mtim);
  }

  static std::string Join(const std::string& relative, const std::string& name) {
    return relative.empty() ? name : relative + "/" + name;
  }

  std::string PathOf(const std::string& relative, bool is_directory) const {
    if (relative.empty()) return base_;
    return base_ + relative + (is_directory ? "/" : "");
  }

  // Messages name paths inside the image only.
  static Status StatEntry(int dir, const std::string& name, const std::string& relative, struct stat* st) {
    if (::fstatat(dir, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
      return Status::Internal("cannot stat " + relative + " in an image: " + std::strerror(errno));
    }
    return Status::Ok();
  }

  static Status SortedNames(int dir, std::vector<std::string>* names) {
    Status status = ListNames(dir, names);
    if (!status.ok()) return status;
    names->erase(std::remove(names->begin(), names->end(), std::string(kSnapshotDirName)), names->end());
    std::sort(names->begin(), names->end());
    return Status::Ok();
  }

  Status CompareItems(const std::string& relative, const std::string& name, int older, int newer,
                      bool* entries_changed) {
    const std::string child = Join(relative, name);
    struct stat older_st, newer_st;
    Status status = StatEntry(older, name, child, &older_st);
    if (status.ok()) status = StatEntry(newer, name, child, &newer_st);
    if (!status.ok()) return status;
    bool older_dir = S_ISDIR(older_st.st_mode);
    bool newer_dir = S_ISDIR(newer_st.st_mode);
    if (older_dir != newer_dir) {
      *entries_changed = true;
      out_->push_back({ChangeOp::kDeleted, older_dir, PathOf(child, older_dir), older_dir});
      out_->push_back({ChangeOp::kCreated, newer_dir, PathOf(child, newer_dir)});
      return Status::Ok();
    }
    if (older_dir) {
      UniqueFd older_child(::openat(older, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      UniqueFd newer_child(::openat(newer, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!older_child.valid() || !newer_child.valid()) {
        return Status::Internal("cannot open " + child + " in an image: " + std::strerror(errno));
      }
      return CompareDirectories(child, older_child.get(), newer_child.get(), older_st, newer_st);
    }
    if (older_st.st_size != newer_st.st_size || MetadataChanged(older_st, newer_st)) {
      out_->push_back({ChangeOp::kModified, false, PathOf(child, false)});
    }
    return Status::Ok();
  }

  // A created or deleted directory is one entry: what it holds is implied.
  Status EmitItem(ChangeOp op, const std::string& relative, int dir, const std::string& name) {
    struct stat st;
    Status status = StatEntry(dir, name, relative, &st);
    if (!status.ok()) return status;
    bool is_directory = S_ISDIR(st.st_mode);
    out_->push_back({op, is_directory, PathOf(relative, is_directory)});
    return Status::Ok();
  }

  const std::string base_;
  std::vector<DiffEntry>* out_;
};

// Where an entry sorts: its path, but a replaced directory's without the "/".
std::string_view SortPath(const DiffEntry& entry) {
  std::string_view path = entry.path;
  if (entry.replaced) path.remove_suffix(1);
  return path;
}

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

Status CompareImages(int older_image, int newer_image, const std::string& base_cluster_path,
                     std::vector<DiffEntry>* out) {
  struct stat older_st, newer_st;
  if (::fstat(older_image, &older_st) != 0 || ::fstat(newer_image, &newer_st) != 0) {
    return Status::Internal(std::string("cannot stat an image: ") + std::strerror(errno));
  }
  out->clear();
  ImageComparer comparer(base_cluster_path, out);
  Status status = comparer.CompareDirectories("", older_image, newer_image, older_st, newer_st);
  if (!status.ok()) return status;
  // Path order; for a path both deleted and created, the deletion first.
  std::sort(out->begin(), out->end(), [](const DiffEntry& a, const DiffEntry& b) {
    int order = SortPath(a).compare(SortPath(b));
    if (order != 0) return order < 0;
    return (a.op == ChangeOp::kDeleted) > (b.op == ChangeOp::kDeleted);
  });
  return Status::Ok();
}

namespace {

// Writes `value` as exactly `width` decimal digits.
char* WriteDigits(char* out, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

}  // namespace

void MakeSyntheticEntry(const std::string& base_cluster_path, uint64_t index, DiffEntry* entry) {
  uint64_t h = SplitMix64(index);
  entry->is_directory = h % 100 < 15;
  uint64_t op = (h >> 8) % 10;  // 40% created, 20% deleted, 40% modified
  entry->op = op < 4 ? ChangeOp::kCreated : op < 6 ? ChangeOp::kDeleted : ChangeOp::kModified;
  // "area_NNNNN/item_NNNNNNNNNN_<letters><suffix>": the zero-padded counters keep
  // the entries in path order; the letters bring the length to 60..120 bytes.
  char buffer[160];
  char* out = buffer;
  std::memcpy(out, "area_", 5);
  out = WriteDigits(out + 5, index / 10000, 5);
  std::memcpy(out, "/item_", 6);
  out = WriteDigits(out + 6, index, 10);
  *out++ = '_';
  const char* suffix = entry->is_directory ? "/" : ".dat";
  const size_t suffix_size = entry->is_directory ? 1 : 4;
  const size_t target = 60 + (h >> 20) % 61;
  uint64_t letters = SplitMix64(h);
  for (size_t i = static_cast<size_t>(out - buffer); i + suffix_size < target; ++i) {
    if (i % 8 == 0) letters = SplitMix64(letters);
    *out++ = static_cast<char>('a' + ((letters >> ((i % 8) * 8)) & 0xff) % 26);
  }
  std::memcpy(out, suffix, suffix_size);
  out += suffix_size;
  entry->path.assign(base_cluster_path);
  entry->path.append(buffer, static_cast<size_t>(out - buffer));
}

}  // namespace clustersim
