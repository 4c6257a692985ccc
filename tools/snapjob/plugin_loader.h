// Loads the snapshot plug-in the way the agent does: dlopen with RTLD_NOW | RTLD_LOCAL, then the
// one exported factory. Nothing of the plug-in is linked into snapjob.
// Not thread-safe; one loader per process is enough.
#ifndef SNAPJOB_PLUGIN_LOADER_H_
#define SNAPJOB_PLUGIN_LOADER_H_

#include <memory>
#include <string>

#include "SnapClientFactory.h"

namespace snapjob {

// Deletes a snap client through the base pointer, which runs its virtual destructor.
struct SnapClientDeleter {
  void operator()(CFileServerSnapClientBase* client) const { delete client; }
};
using SnapClientPtr = std::unique_ptr<CFileServerSnapClientBase, SnapClientDeleter>;

class PluginLibrary {
 public:
  // Opens the library and resolves GetSnapClient. On failure returns null with the reason.
  static std::unique_ptr<PluginLibrary> Open(const std::string& path, std::string* error);

  // Closes the library; every snap client made from it must be gone by then.
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // A new snap client; null when the factory returned none.
  SnapClientPtr NewSnapClient() const;

  const std::string& path() const { return path_; }

 private:
  PluginLibrary(void* handle, GetSnapClientFn factory, std::string path)
      : handle_(handle), factory_(factory), path_(std::move(path)) {}

  void* handle_;
  GetSnapClientFn factory_;
  std::string path_;
};

// The plug-in's default place: in the library directory of snapjob's own prefix.
std::string DefaultPluginPath();

// The directory that holds the running executable ("" when it cannot be found).
std::string ExecutableDirectory();

}  // namespace snapjob

#endif  // SNAPJOB_PLUGIN_LOADER_H_
