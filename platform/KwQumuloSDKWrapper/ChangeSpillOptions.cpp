#include "ChangeSpillOptions.h"

#include <cstdlib>
#include <mutex>

namespace Qumulo {

namespace {
std::mutex g_defaultMutex;
ChangeSpillOptions g_default;
}  // namespace

std::string ChangeSpillOptions::ResolvedDirectory() const {
  if (!directory.empty()) return directory;
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

void ChangeSpillOptions::SetDefault(const ChangeSpillOptions& options) {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  g_default = options;
}

ChangeSpillOptions ChangeSpillOptions::Default() {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  return g_default;
}

}  // namespace Qumulo
