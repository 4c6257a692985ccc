#include "clustersim/path_resolver.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace clustersim {

namespace {

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

// Normalises "." and ".." without touching the disk; used for dangling links.
std::string LexicalNormal(const std::string& absolute) {
  std::vector<std::string> out;
  for (const std::string& part : SplitComponents(absolute)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(part);
  }
  std::string joined;
  for (const std::string& part : out) joined += "/" + part;
  return joined.empty() ? "/" : joined;
}

bool RealPath(const std::string& path, std::string* out, int* error) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) {
    *error = errno;
    return false;
  }
  *out = buffer;
  return true;
}

bool HasSnapshotComponent(const std::string& relative) {
  for (const std::string& part : SplitComponents(relative)) {
    if (part == kSnapshotDirName) return true;
  }
  return false;
}

}  // namespace

Status PathResolver::Create(const std::string& root, PathResolver* out) {
  int error = 0;
  std::string real;
  if (!RealPath(root, &real, &error)) return Status::NotFound("root " + root + " does not exist");
  struct stat st;
  if (::stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::BadRequest("root " + root + " is not a directory");
  }
  out->root_ = real == "/" ? "" : real;
  return Status::Ok();
}

bool PathResolver::InsideRoot(const std::string& disk_path) const {
  if (disk_path == root_ || root_.empty()) return !HasSnapshotComponent(disk_path.substr(root_.size()));
  if (disk_path.compare(0, root_.size(), root_) != 0 || disk_path.size() <= root_.size() ||
      disk_path[root_.size()] != '/') {
    return false;
  }
  return !HasSnapshotComponent(disk_path.substr(root_.size()));
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

Status PathResolver::Resolve(const std::string& cluster_path, ResolvedPath* out) const {
  if (cluster_path.empty() || cluster_path[0] != '/') {
    return Status::BadRequest("path must be absolute");
  }
  if (cluster_path.find('\0') != std::string::npos) return Status::BadRequest("path holds a NUL byte");
  std::vector<std::string> parts;
  for (std::string& part : SplitComponents(cluster_path)) {
    if (part == ".") continue;
    if (part == "..") return Status::BadRequest("path leaves the root: " + cluster_path);
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

  // Every directory on the way is resolved through its symlinks and must stay inside.
  std::string parent = root_;
  for (size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + parts[i];
  std::string real_parent;
  int error = 0;
  if (!RealPath(parent.empty() ? "/" : parent, &real_parent, &error)) {
    if (error == ENOENT || error == ENOTDIR) return Status::NoSuchEntry("no such path: " + cluster_path);
    return Status::Internal("cannot resolve " + cluster_path);
  }
  if (real_parent == "/") real_parent.clear();
  if (!InsideRoot(real_parent.empty() ? "/" : real_parent) && !(real_parent.empty() && root_.empty())) {
    return Status::BadRequest("path leaves the root: " + cluster_path);
  }
  struct stat st;
  if (!real_parent.empty() || !root_.empty()) {
    if (::stat(real_parent.empty() ? "/" : real_parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return Status::NoSuchEntry("no such path: " + cluster_path);
    }
  }
  std::string final_path = real_parent + "/" + parts.back();
  if (::lstat(final_path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Status::NoSuchEntry("no such path: " + cluster_path);
    return Status::Internal("cannot stat " + cluster_path);
  }
  if (S_ISLNK(st.st_mode)) {
    // The link itself is reported, but only if its target stays inside the root.
    std::string target;
    if (!RealPath(final_path, &target, &error)) {
      char buffer[PATH_MAX];
      ssize_t n = ::readlink(final_path.c_str(), buffer, sizeof(buffer) - 1);
      if (n < 0) return Status::Internal("cannot read link " + cluster_path);
      std::string link(buffer, static_cast<size_t>(n));
      target = LexicalNormal(link[0] == '/' ? link : real_parent + "/" + link);
    }
    if (!InsideRoot(target)) return Status::BadRequest("path leaves the root: " + cluster_path);
  }
  out->disk_path = final_path;
  return Status::Ok();
}

}  // namespace clustersim
