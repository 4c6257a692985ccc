// The file-level difference of one regular file between two snapshot images:
// the regions of the newer copy that differ from the older, compared in blocks
// of kRegionBlock bytes and merged where neighbours agree. Stateless; thread-safe.
#ifndef CLUSTERSIM_FILE_REGIONS_H_
#define CLUSTERSIM_FILE_REGIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "clustersim/status.h"

namespace clustersim {

inline constexpr uint64_t kRegionBlock = 64 * 1024;

struct FileRegion {
  // v2: "FILE_REGION_DATA" or "FILE_REGION_HOLE"; v3: "CREATE", "MODIFY" or "DELETE".
  const char* kind = "";
  uint64_t offset = 0;
  uint64_t size = 0;
};

// `older` or `newer` is empty when the file did not exist in that snapshot. v2 lists the newer
// file's changed regions, a block that reads as zeros being a hole (images do not keep
// sparseness); v3 names what happened to each range: written past the older end (CREATE),
// rewritten (MODIFY), cut off by a truncation (DELETE).
Status CompareFileRegions(const std::string& older, const std::string& newer, int version,
                          std::vector<FileRegion>* out);

}  // namespace clustersim

#endif  // CLUSTERSIM_FILE_REGIONS_H_
