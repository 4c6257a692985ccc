#include "plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace snapjob {

std::unique_ptr<PluginLibrary> PluginLibrary::Open(const std::string& path, std::string* error) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load the plug-in: " + std::string(reason ? reason : path);
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(handle, "GetSnapClient");
  if (symbol == nullptr) {
    const char* reason = dlerror();
    *error = "the plug-in " + path + " exports no GetSnapClient" + (reason ? std::string(": ") + reason : "");
    dlclose(handle);
    return nullptr;
  }
  GetSnapClientFn factory = reinterpret_cast<GetSnapClientFn>(symbol);
  return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, factory, path));
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

SnapClientPtr PluginLibrary::NewSnapClient() const { return SnapClientPtr(factory_()); }

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return "";
  std::string exe(buffer, static_cast<size_t>(length));
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "" : exe.substr(0, slash);
}

std::string DefaultPluginPath() {
  std::string dir = ExecutableDirectory();
  if (dir.empty()) dir = ".";
  // Installed, the library directory may be a multiarch one; the build tree always has lib/.
  const std::string installed = dir + "/" SNAP_BIN_TO_LIB "/libQumuloSnapClient.so";
  return ::access(installed.c_str(), F_OK) == 0 ? installed : dir + "/../lib/libQumuloSnapClient.so";
}

}  // namespace snapjob
