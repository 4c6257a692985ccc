#include "snapshot_names.h"

#include <limits>
#include <vector>

#include "decimal_text.h"

namespace snapjob {
namespace {

// The plug-in writes numbers with printf: a value reads as its own only in that exact form.
bool Canonical(const std::string& text, uint64_t max, uint64_t* value) {
  return ParseUnsignedDecimal(text, max, value) && std::to_string(*value) == text;
}

}  // namespace

bool ParseSnapshotName(const std::string& name, SnapshotName* parsed) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t separator; (separator = name.find('_', start)) != std::string::npos; start = separator + 1) {
    fields.push_back(name.substr(start, separator - start));
  }
  fields.push_back(name.substr(start));
  if (fields.size() != 5 || fields[0] != "kwsnap") return false;
  uint64_t client = 0, app = 0, directory = 0;
  int64_t job = 0;
  const uint64_t max32 = std::numeric_limits<uint32_t>::max();
  if (!Canonical(fields[1], max32, &client) || !Canonical(fields[2], max32, &app) ||
      !ParseSignedDecimal(fields[3], &job) || std::to_string(job) != fields[3] ||
      !Canonical(fields[4], std::numeric_limits<uint64_t>::max(), &directory)) {
    return false;
  }
  parsed->client = static_cast<uint32_t>(client);
  parsed->app = static_cast<uint32_t>(app);
  parsed->job = job;
  parsed->directory = directory;
  return true;
}

std::string FormatSnapshotName(const SnapshotName& name) {
  return "kwsnap_" + std::to_string(name.client) + "_" + std::to_string(name.app) + "_" + std::to_string(name.job) +
         "_" + std::to_string(name.directory);
}

}  // namespace snapjob
