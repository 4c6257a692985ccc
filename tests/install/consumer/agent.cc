// A stand-in agent built against an installed prefix only: sets up the agent's libraries as the
// README prescribes, loads the plug-in, drives one operation, and lets go in the order the
// interface requires (what the client handed out, then the client, then the library).
#include <dlfcn.h>

#include <cstdio>

#include <qumulo-snap/FileShareAutoMount.h>
#include <qumulo-snap/KWClient.h>
#include <qumulo-snap/KwMntTab.h>
#include <qumulo-snap/SnapClientFactory.h>
#include <qumulo-snap/TransportOptions.h>

int main() {
  KWClient::SetRegistryPath("/nonexistent/registry.json");
  KwMntTab::SetTablePath("/proc/self/mounts");
  FileShareAutoMount::SetAutoMountRoot(FileShareAutoMount::kDefaultRoot);
  Qumulo::TransportOptions options = Qumulo::TransportOptions::Default();
  options.pinnedPublicKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  Qumulo::TransportOptions::SetDefault(options);

  void* library = dlopen(PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "consumer: %s\n", dlerror());
    return 1;
  }
  const auto factory = reinterpret_cast<GetSnapClientFn>(dlsym(library, "GetSnapClient"));
  CFileServerSnapClientBase* client = factory ? factory() : nullptr;
  if (client == nullptr) {
    std::fprintf(stderr, "consumer: no snap client from %s\n", PLUGIN);
    return 1;
  }
  const bool ok = !client->VerifySnapScanSupport().IsError();
  delete client;  // after every item callable and content mapper it handed out
  dlclose(library);  // after the client
  std::printf("consumer: GetSnapClient gave a snap client; VerifySnapScanSupport %s\n", ok ? "succeeded" : "failed");
  return ok ? 0 : 1;
}
