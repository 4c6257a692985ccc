// The snapshot plug-in loaded the way the agent loads it: dlopen with RTLD_NOW | RTLD_LOCAL and the
// one exported factory. Not thread-safe; load once per process and keep it loaded.
#ifndef BENCH_SUPPORT_PLUGIN_H_
#define BENCH_SUPPORT_PLUGIN_H_

#include <memory>
#include <string>

#include "FileServerSnapClientBase.h"

namespace bench {

struct SnapClientDeleter {
  void operator()(CFileServerSnapClientBase* client) const { delete client; }
};
using SnapClientPtr = std::unique_ptr<CFileServerSnapClientBase, SnapClientDeleter>;

// A new snap client from the built plug-in; null with *error set when it cannot be loaded. The
// library stays loaded for the rest of the process.
SnapClientPtr NewPluginSnapClient(std::string* error);

}  // namespace bench

#endif  // BENCH_SUPPORT_PLUGIN_H_
