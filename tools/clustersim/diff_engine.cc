#include "clustersim/diff_engine.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "clustersim/path_resolver.h"

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
  Status CompareDirectories(const std::string& relative, const std::string& older, const std::string& newer,
                            const struct stat& older_st, const struct stat& newer_st) {
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
        status = EmitItem(ChangeOp::kDeleted, Join(relative, older_names[i]), older + "/" + older_names[i]);
        ++i;
      } else if (order > 0) {
        entries_changed = true;
        status = EmitItem(ChangeOp::kCreated, Join(relative, newer_names[j]), newer + "/" + newer_names[j]);
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

  static Status StatEntry(const std::string& path, struct stat* st) {
    if (::lstat(path.c_str(), st) != 0) {
      return Status::Internal("cannot stat " + path + ": " + std::strerror(errno));
    }
    return Status::Ok();
  }

  static Status SortedNames(const std::string& dir_path, std::vector<std::string>* names) {
    DIR* dir = ::opendir(dir_path.c_str());
    if (dir == nullptr) return Status::Internal("cannot read " + dir_path + ": " + std::strerror(errno));
    while (struct dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
          std::strcmp(entry->d_name, kSnapshotDirName) == 0) {
        continue;
      }
      names->push_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names->begin(), names->end());
    return Status::Ok();
  }

  Status CompareItems(const std::string& relative, const std::string& name, const std::string& older,
                      const std::string& newer, bool* entries_changed) {
    const std::string older_path = older + "/" + name;
    const std::string newer_path = newer + "/" + name;
    struct stat older_st, newer_st;
    Status status = StatEntry(older_path, &older_st);
    if (status.ok()) status = StatEntry(newer_path, &newer_st);
    if (!status.ok()) return status;
    const std::string child = Join(relative, name);
    bool older_dir = S_ISDIR(older_st.st_mode);
    bool newer_dir = S_ISDIR(newer_st.st_mode);
    if (older_dir != newer_dir) {
      *entries_changed = true;
      status = EmitItem(ChangeOp::kDeleted, child, older_path);
      if (status.ok()) status = EmitItem(ChangeOp::kCreated, child, newer_path);
      return status;
    }
    if (older_dir) return CompareDirectories(child, older_path, newer_path, older_st, newer_st);
    if (older_st.st_size != newer_st.st_size || MetadataChanged(older_st, newer_st)) {
      out_->push_back({ChangeOp::kModified, false, PathOf(child, false)});
    }
    return Status::Ok();
  }

  // A created or deleted directory is one entry: what it holds is implied.
  Status EmitItem(ChangeOp op, const std::string& relative, const std::string& disk_path) {
    struct stat st;
    Status status = StatEntry(disk_path, &st);
    if (!status.ok()) return status;
    bool is_directory = S_ISDIR(st.st_mode);
    out_->push_back({op, is_directory, PathOf(relative, is_directory)});
    return Status::Ok();
  }

  const std::string base_;
  std::vector<DiffEntry>* out_;
};

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

Status CompareImages(const std::string& older_image, const std::string& newer_image,
                     const std::string& base_cluster_path, std::vector<DiffEntry>* out) {
  struct stat older_st, newer_st;
  if (::stat(older_image.c_str(), &older_st) != 0 || !S_ISDIR(older_st.st_mode)) {
    return Status::Internal("the image " + older_image + " is missing");
  }
  if (::stat(newer_image.c_str(), &newer_st) != 0 || !S_ISDIR(newer_st.st_mode)) {
    return Status::Internal("the image " + newer_image + " is missing");
  }
  out->clear();
  ImageComparer comparer(base_cluster_path, out);
  Status status = comparer.CompareDirectories("", older_image, newer_image, older_st, newer_st);
  if (!status.ok()) return status;
  // Path order; for a path both deleted and created, the deletion first.
  std::sort(out->begin(), out->end(), [](const DiffEntry& a, const DiffEntry& b) {
    int order = a.path.compare(b.path);
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
