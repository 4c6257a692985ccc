#include "FileShareAutoMount.h"

#include <mutex>

#include "FXPath.h"

const char FileShareAutoMount::kDefaultRoot[] = "/var/lib/kwagent/automount";

namespace {

bool HasDotComponent(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

std::mutex& RootMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& RootName() {
  static std::string root = FileShareAutoMount::kDefaultRoot;
  return root;
}

}  // namespace

void FileShareAutoMount::SetAutoMountRoot(const std::string& root) {
  std::lock_guard<std::mutex> lock(RootMutex());
  RootName() = root.empty() ? kDefaultRoot : root;
}

std::string FileShareAutoMount::AutoMountRoot() {
  std::lock_guard<std::mutex> lock(RootMutex());
  return RootName();
}

CQiError FileShareAutoMount::convertScanToMountFormat(const std::string& scanPath, std::string& mountFormat,
                                                      std::string& serverRoot, bool& noExportPath) {
  std::string root = AutoMountRoot();
  FXPath::RemoveTrailingDelimiter(root).IgnoreError();
  if (!FXPath::IsDescendantOf(scanPath, root, false) || HasDotComponent(scanPath)) {
    noExportPath = true;
    return CQiError::Success();
  }
  // What follows the root: "<server>/<path...>".
  std::string rest = scanPath.substr(root.size());
  size_t serverStart = rest.find_first_not_of('/');
  size_t serverEnd = serverStart == std::string::npos ? std::string::npos : rest.find('/', serverStart);
  if (serverEnd == std::string::npos || rest.find_first_not_of('/', serverEnd) == std::string::npos) {
    noExportPath = true;  // only a server, or nothing: no path on the server to name
    return CQiError::Success();
  }
  const std::string server = rest.substr(serverStart, serverEnd - serverStart);
  mountFormat = server + ":" + rest.substr(serverEnd);
  serverRoot = root + "/" + server;
  return CQiError::Success();
}
