// Maps cluster paths to files under the emulator's root, refusing anything
// that would leave the root (".." components, symlinks pointing outside,
// whether or not their target exists) or enter a ".snapshot" directory.
// Immutable after Create(); thread-safe.
#ifndef CLUSTERSIM_PATH_RESOLVER_H_
#define CLUSTERSIM_PATH_RESOLVER_H_

#include <deque>
#include <string>

#include "clustersim/status.h"

namespace clustersim {

// The name of the hidden directory that holds snapshot images.
inline constexpr const char kSnapshotDirName[] = ".snapshot";

struct ResolvedPath {
  std::string cluster_path;  // normalised: "/" or "/a/b" (no trailing "/")
  std::string disk_path;     // the object itself; a final symlink is not followed
};

class PathResolver {
 public:
  // `root` must be an existing directory.
  static Status Create(const std::string& root, PathResolver* out);

  // 400 for a malformed or escaping path (symlink loops and over-long names included), 404
  // when it does not exist.
  Status Resolve(const std::string& cluster_path, ResolvedPath* out) const;

  // Disk path of a normalised cluster path, without any checks.
  std::string DiskPathOf(const std::string& cluster_path) const;
  // Cluster path of a disk path under the root (empty if it is not under it).
  std::string ClusterPathOf(const std::string& disk_path) const;
  const std::string& root() const { return root_; }

 private:
  // Follows `pending` names from the real directory `*dir` (left at the last directory reached).
  // A probe only checks that the way stays inside the root: a missing name or a loop ends it quietly.
  Status Walk(const std::string& cluster_path, std::deque<std::string> pending, bool probe, std::string* dir) const;

  std::string root_;  // canonical, no trailing "/"
};

}  // namespace clustersim

#endif  // CLUSTERSIM_PATH_RESOLVER_H_
