// A file-system object as the API's attribute record shows it, read from disk:
// the live tree and snapshot images alike. Stateless; thread-safe.
#ifndef CLUSTERSIM_FILE_ATTRIBUTES_H_
#define CLUSTERSIM_FILE_ATTRIBUTES_H_

#include <cstdint>
#include <string>

#include "clustersim/status.h"

namespace clustersim {

// The record of the object at `disk_path` (a final symlink not followed), whose cluster path is
// `cluster_path` (no trailing "/") and whose id is `id`. 404 when it is gone.
Status AttributesJson(const std::string& disk_path, const std::string& cluster_path, uint64_t id,
                      std::string* out);

}  // namespace clustersim

#endif  // CLUSTERSIM_FILE_ATTRIBUTES_H_
