#include "clustersim/path_resolver.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

namespace clustersim {

namespace {

// How many symlinks one resolution may pass through, as the kernel allows.
constexpr int kMaxLinks = 40;

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

bool RealPath(const std::string& path, std::string* out) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return false;
  *out = buffer;
  return true;
}

Status LeavesTheRoot(const std::string& cluster_path) {
  return Status::BadRequest("path leaves the root: " + cluster_path);
}

}  // namespace

Status PathResolver::Create(const std::string& root, PathResolver* out) {
  std::string real;
  if (!RealPath(root, &real)) return Status::NotFound("root " + root + " does not exist");
  struct stat st;
  if (::stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::BadRequest("root " + root + " is not a directory");
  }
  out->root_ = real == "/" ? "" : real;
  return Status::Ok();
}

std::string PathResolver::DiskPathOf(const std::string& cluster_path) const {
  if (cluster_path == "/") return root_.empty() ? "/" : root_;
  return root_ + cluster_path;
}

std::string PathResolver::ClusterPathOf(const std::string& disk_path) const {
  if (disk_path == root_) return "/";
  if (!root_.empty() && (disk_path.compare(0, root_.size(), root_) != 0 ||
                         disk_path.size() <= root_.size() || disk_path[root_.size()] != '/')) {
    return "";
  }
  return disk_path.substr(root_.size());
}

Status PathResolver::Walk(const std::string& cluster_path, std::deque<std::string> pending, bool probe,
                          std::string* dir) const {
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      // Decided here, before anything outside is looked at: what lies beyond the root, and
      // whether it exists, never shows in an answer.
      if (*dir == root_) {
        if (!root_.empty()) return LeavesTheRoot(cluster_path);
        continue;
      }
      dir->resize(dir->rfind('/'));
      continue;
    }
    if (name == kSnapshotDirName) return Status::BadRequest("path enters a snapshot directory: " + cluster_path);
    std::string next = *dir + "/" + name;
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0) {
      if (errno == ENAMETOOLONG) return Status::BadRequest("a name in the path is too long: " + cluster_path);
      if (errno == ENOENT || errno == ENOTDIR) {
        return probe ? Status::Ok() : Status::NoSuchEntry("no such path: " + cluster_path);
      }
      return Status::Internal("cannot stat " + cluster_path);
    }
    if (S_ISLNK(st.st_mode)) {
      // A loop never leaves the root: as a probe it has shown all it can.
      if (++links > kMaxLinks) {
        return probe ? Status::Ok() : Status::BadRequest("too many levels of symbolic links: " + cluster_path);
      }
      char buffer[PATH_MAX];
      ssize_t n = ::readlink(next.c_str(), buffer, sizeof(buffer));
      if (n < 0 || static_cast<size_t>(n) >= sizeof(buffer)) return Status::Internal("cannot read link " + cluster_path);
      std::string target(buffer, static_cast<size_t>(n));
      if (target[0] == '/') {
        if (!root_.empty() && target != root_ &&
            (target.compare(0, root_.size(), root_) != 0 || target[root_.size()] != '/')) {
          return LeavesTheRoot(cluster_path);
        }
        target.erase(0, root_.size());
        *dir = root_;
      }
      std::vector<std::string> parts = SplitComponents(target);
      pending.insert(pending.begin(), parts.begin(), parts.end());
      continue;
    }
    if (!S_ISDIR(st.st_mode) && !pending.empty()) {
      return probe ? Status::Ok() : Status::NoSuchEntry("no such path: " + cluster_path);
    }
    *dir = std::move(next);
  }
  return Status::Ok();
}

Status PathResolver::Resolve(const std::string& cluster_path, ResolvedPath* out) const {
  if (cluster_path.empty() || cluster_path[0] != '/') {
    return Status::BadRequest("path must be absolute");
  }
  if (cluster_path.find('\0') != std::string::npos) return Status::BadRequest("path holds a NUL byte");
  std::vector<std::string> parts;
  for (std::string& part : SplitComponents(cluster_path)) {
    if (part == ".") continue;
    if (part == "..") return LeavesTheRoot(cluster_path);
    if (part == kSnapshotDirName) return Status::BadRequest("path enters a snapshot directory: " + cluster_path);
    parts.push_back(std::move(part));
  }
  out->cluster_path.clear();
  for (const std::string& part : parts) out->cluster_path += "/" + part;
  if (parts.empty()) {
    out->cluster_path = "/";
    out->disk_path = DiskPathOf("/");
    return Status::Ok();
  }

  // The directories on the way are followed through their symlinks, which must stay inside.
  std::string dir = root_;
  Status status = Walk(cluster_path, std::deque<std::string>(parts.begin(), parts.end() - 1), false, &dir);
  if (!status.ok()) return status;
  std::string final_path = dir + "/" + parts.back();
  struct stat st;
  if (::lstat(final_path.c_str(), &st) != 0) {
    if (errno == ENAMETOOLONG) return Status::BadRequest("a name in the path is too long: " + cluster_path);
    if (errno == ENOENT || errno == ENOTDIR) return Status::NoSuchEntry("no such path: " + cluster_path);
    return Status::Internal("cannot stat " + cluster_path);
  }
  if (S_ISLNK(st.st_mode)) {
    // The link itself is reported, but only if where it leads stays inside the root.
    status = Walk(cluster_path, {parts.back()}, true, &dir);
    if (!status.ok()) return status;
  }
  out->disk_path = final_path;
  return Status::Ok();
}

}  // namespace clustersim
