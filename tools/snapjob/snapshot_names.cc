#include "snapshot_names.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

namespace snapjob {
namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > max || std::to_string(parsed) != text) return false;
  *value = parsed;
  return true;
}

bool ParseSigned(const std::string& text, int64_t* value) {
  const size_t digits = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || std::to_string(parsed) != text) return false;
  *value = parsed;
  return true;
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
  if (!ParseUnsigned(fields[1], max32, &client) || !ParseUnsigned(fields[2], max32, &app) ||
      !ParseSigned(fields[3], &job) ||
      !ParseUnsigned(fields[4], std::numeric_limits<uint64_t>::max(), &directory)) {
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
