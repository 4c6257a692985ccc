// Loads the installed plug-in as an agent does and drives one operation through the interface.
#include <dlfcn.h>

#include <cstdio>

#include "SnapClientFactory.h"

int main() {
  void* library = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "consumer: %s\n", dlerror());
    return 1;
  }
  const auto factory = reinterpret_cast<GetSnapClientFn>(dlsym(library, "GetSnapClient"));
  CFileServerSnapClientBase* client = factory ? factory() : nullptr;
  if (client == nullptr) {
    std::fprintf(stderr, "consumer: no snap client from %s\n", PLUGIN_PATH);
    return 1;
  }
  const bool ok = !client->VerifySnapScanSupport().IsError();
  delete client;
  dlclose(library);
  std::printf("consumer: GetSnapClient gave a snap client; VerifySnapScanSupport %s\n", ok ? "succeeded" : "failed");
  return ok ? 0 : 1;
}
