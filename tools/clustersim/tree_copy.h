// Copying and removing directory trees for snapshot images. A copy keeps
// modes, owners and nanosecond modification times, copies symlinks as links,
// and leaves out ".snapshot" directories at every depth. Thread-compatible.
#ifndef CLUSTERSIM_TREE_COPY_H_
#define CLUSTERSIM_TREE_COPY_H_

#include <string>

#include "clustersim/status.h"

namespace clustersim {

// Copies the directory `source` to `target`, which must not exist yet.
Status CopyTree(const std::string& source, const std::string& target);

// Removes `path` and everything below it; a missing path is not an error.
Status RemoveTree(const std::string& path);

}  // namespace clustersim

#endif  // CLUSTERSIM_TREE_COPY_H_
