#ifndef KWAPPMGR_CONTENTMAPPER_H
#define KWAPPMGR_CONTENTMAPPER_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ContentMapperAPI.h"

// The agent's concrete content mapper. Not thread-safe.
class CContentMapper : public ContentMapperAPI {
 public:
  CContentMapper();
  ~CContentMapper() override;

  // A path below a registered local mount is rewritten to its local form; any other path is its own
  // local form when it exists on this host, and unreachable ("") otherwise.
  int LookupLocalPath(const std::string& path, std::string& localPath) override;
  std::string MapPath(const std::string& scanPath) const override;
  void AddLocalMount(const std::string& remotePrefix, const std::string& localPrefix) override;
  int SetPathMap(std::map<std::string, std::string>& paths) override;
  // The current path map; callers copy it.
  virtual std::map<std::string, std::string>& GetPathMap();

 private:
  std::map<std::string, std::string> m_pathMap;
  std::vector<std::pair<std::string, std::string>> m_localMounts;
};

#endif
