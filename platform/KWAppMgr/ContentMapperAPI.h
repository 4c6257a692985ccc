#ifndef KWAPPMGR_CONTENTMAPPERAPI_H
#define KWAPPMGR_CONTENTMAPPERAPI_H

#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

// The agent's content mapper: maps each scan path (a backup path, ending with "/") to the path the
// agent reads instead. Slot order is part of the binary contract: LookupLocalPath, the operations
// between, then SetPathMap last (CContentMapper adds GetPathMap directly after it).
// Not thread-safe: the agent uses it from one thread at a time.
class ContentMapperAPI {
 public:
  virtual ~ContentMapperAPI() {}

  // The local path under which the agent reaches `path` (for example its auto-mount form), or ""
  // when it cannot be reached. Returns 0 when localPath was filled.
  virtual int LookupLocalPath(const std::string& path, std::string& localPath) = 0;
  // The path to read for `scanPath`: the longest scan-path key that holds it is replaced by its
  // value; a path that no key holds is read as it is.
  virtual std::string MapPath(const std::string& scanPath) const = 0;
  // Tells the mapper that everything below `remotePrefix` is reachable locally below `localPrefix`.
  virtual void AddLocalMount(const std::string& remotePrefix, const std::string& localPrefix) = 0;
  // From now on each key of `paths` maps to its value. Returns 0.
  virtual int SetPathMap(std::map<std::string, std::string>& paths) = 0;

  // LookupLocalPath's answer as a value.
  std::string GetLocalPathOf(const std::string& path) {
    std::string localPath;
    LookupLocalPath(path, localPath);
    return localPath;
  }
};

typedef boost::shared_ptr<ContentMapperAPI> ContentMapperAPIPtr;

#endif
