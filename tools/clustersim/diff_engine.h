// The difference of two snapshot images: created, deleted and modified items,
// in path order, each with its cluster path (directories end with "/").
// Also makes large synthetic differences without any files. Stateless.
#ifndef CLUSTERSIM_DIFF_ENGINE_H_
#define CLUSTERSIM_DIFF_ENGINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "clustersim/status.h"

namespace clustersim {

enum class ChangeOp { kCreated, kDeleted, kModified };

// "CREATE", "DELETE" or "MODIFY", as a difference entry's "op".
const char* ChangeOpName(ChangeOp op);

struct DiffEntry {
  ChangeOp op = ChangeOp::kModified;
  bool is_directory = false;
  std::string path;
  // A deleted directory whose name now holds a non-directory: it sorts at that name, so that
  // the deletion comes before the creation.
  bool replaced = false;
};

// Compares two frozen images of the directory `base_cluster_path` (ending with
// "/"), open as `older_image` and `newer_image`; no symlink in them is followed.
// Files differ by size, type, mode, owner, group or nanosecond mtime (an
// access-time change alone is none); a change between directory and
// non-directory is a deletion plus a creation, the deletion first; a created or
// deleted directory is one entry, what it holds being implied; a directory
// present in both is modified when its own entries or its metadata changed.
Status CompareImages(int older_image, int newer_image, const std::string& base_cluster_path,
                     std::vector<DiffEntry>* out);

// Calls `sink` with `items` deterministic entries under `base_cluster_path`, in
// path order: about 85% files, the rest directories, operations mixed, 60 to
// 120 bytes of path below the directory.
template <typename Sink>
void SynthesizeDifference(const std::string& base_cluster_path, uint64_t items, Sink&& sink);

// Implementation detail of SynthesizeDifference, exposed for the template.
void MakeSyntheticEntry(const std::string& base_cluster_path, uint64_t index, DiffEntry* entry);

template <typename Sink>
void SynthesizeDifference(const std::string& base_cluster_path, uint64_t items, Sink&& sink) {
  DiffEntry entry;
  for (uint64_t i = 0; i < items; ++i) {
    MakeSyntheticEntry(base_cluster_path, i, &entry);
    sink(entry);
  }
}

}  // namespace clustersim

#endif  // CLUSTERSIM_DIFF_ENGINE_H_
