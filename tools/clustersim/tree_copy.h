// Copying and removing directory trees for snapshot images. Everything goes
// through directory descriptors, one name at a time, following no symlink, so
// that a tree changing during a copy can neither lead it outside the tree nor
// fail it: an entry that vanishes or changes type mid-copy is left out. A copy
// keeps modes, owners and nanosecond modification times, copies symlinks as
// links, and leaves out ".snapshot" directories at every depth.
// Thread-compatible.
#ifndef CLUSTERSIM_TREE_COPY_H_
#define CLUSTERSIM_TREE_COPY_H_

#include <string>
#include <vector>

#include "clustersim/status.h"
#include "clustersim/unique_fd.h"

namespace clustersim {

// Opens the directory `relative` ("a/b"; "" is `base_fd` itself) below `base_fd`, one
// name at a time: a symlink or a non-directory on the way is 404, as is a missing name.
Status OpenDirectoryBelow(int base_fd, const std::string& relative, UniqueFd* out);

// The names in an open directory, "." and ".." left out.
Status ListNames(int dir_fd, std::vector<std::string>* names);

// Copies the directory open as `source_fd` to the new directory `name` in `target_parent_fd`.
Status CopyTree(int source_fd, int target_parent_fd, const std::string& name);

// Removes `name` in `parent_fd` and everything below it; a missing name is not an error.
Status RemoveTree(int parent_fd, const std::string& name);

}  // namespace clustersim

#endif  // CLUSTERSIM_TREE_COPY_H_
