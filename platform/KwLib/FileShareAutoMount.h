#ifndef KWLIB_FILESHAREAUTOMOUNT_H
#define KWLIB_FILESHAREAUTOMOUNT_H

#include <string>

#include "QiError.h"

// The agent's auto-mount facility mounts each NFS share at <root>/<server>/<exported path>.
// A scan path in that form converts to the share's mount form "server:/exported/path".
// Thread-safe.
class FileShareAutoMount {
 public:
  // Converts <root>/<server>/<path...> to "server:/path..." in mountFormat, and gives the server's
  // local directory <root>/<server> in serverRoot. A path outside the root, or naming no server or
  // no path on it, sets noExportPath to true and leaves both outputs empty.
  static CQiError convertScanToMountFormat(const std::string& scanPath, std::string& mountFormat,
                                           std::string& serverRoot, bool& noExportPath);

  // The directory under which shares are auto-mounted; "" restores the default.
  static void SetAutoMountRoot(const std::string& root);
  static std::string AutoMountRoot();

  static const char kDefaultRoot[];
};

#endif
