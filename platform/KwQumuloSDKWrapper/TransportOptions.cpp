#include "TransportOptions.h"

#include <mutex>

namespace Qumulo {

namespace {
std::mutex g_defaultMutex;
TransportOptions g_default;
}  // namespace

void TransportOptions::SetDefault(const TransportOptions& options) {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  g_default = options;
}

TransportOptions TransportOptions::Default() {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  return g_default;
}

}  // namespace Qumulo
