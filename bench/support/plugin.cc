#include "plugin.h"

#include <dlfcn.h>

#include "SnapClientFactory.h"

namespace bench {

SnapClientPtr NewPluginSnapClient(std::string* error) {
  static void* handle = nullptr;
  static GetSnapClientFn factory = nullptr;
  if (factory == nullptr) {
    handle = ::dlopen(SNAP_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      *error = std::string("dlopen: ") + ::dlerror();
      return nullptr;
    }
    factory = reinterpret_cast<GetSnapClientFn>(::dlsym(handle, "GetSnapClient"));
    if (factory == nullptr) {
      *error = std::string(SNAP_PLUGIN_PATH) + " does not export GetSnapClient";
      return nullptr;
    }
  }
  SnapClientPtr client(factory());
  if (!client) *error = "GetSnapClient returned no client";
  return client;
}

}  // namespace bench
