#include "ContentMapper.h"

#include <sys/stat.h>

#include "FXPath.h"
#include "FXString.h"

namespace {

// The longest prefix in `prefixes` (component-wise) that holds `path`, or prefixes.end().
template <typename Iterator>
Iterator LongestHolder(Iterator first, Iterator last, const std::string& path) {
  Iterator best = last;
  size_t bestLength = 0;
  for (Iterator it = first; it != last; ++it) {
    if (FXPath::IsDescendantOf(path, it->first, true) && (best == last || it->first.size() > bestLength)) {
      best = it;
      bestLength = it->first.size();
    }
  }
  return best;
}

// Replaces the leading `from` directory of path by `to`, keeping exactly one "/" at the joint.
std::string Rebase(const std::string& path, const std::string& from, const std::string& to) {
  std::string base = from;
  FXPath::RemoveTrailingDelimiter(base).IgnoreError();
  std::string rest = path.substr(std::min(base.size(), path.size()));
  std::string out = to;
  if (rest.empty() || rest == "/") return out;
  FXPath::Append(out, rest, 0).IgnoreError();
  return out;
}

}  // namespace

CContentMapper::CContentMapper() = default;
CContentMapper::~CContentMapper() = default;

int CContentMapper::LookupLocalPath(const std::string& path, std::string& localPath) {
  auto mount = LongestHolder(m_localMounts.begin(), m_localMounts.end(), path);
  if (mount != m_localMounts.end()) {
    localPath = Rebase(path, mount->first, mount->second);
    return 0;
  }
  struct stat info;
  if (!path.empty() && ::stat(path.c_str(), &info) == 0) {
    localPath = path;
    return 0;
  }
  localPath.clear();
  return 1;
}

std::string CContentMapper::MapPath(const std::string& scanPath) const {
  auto entry = LongestHolder(m_pathMap.begin(), m_pathMap.end(), scanPath);
  if (entry == m_pathMap.end() || entry->second.empty()) return scanPath;
  return Rebase(scanPath, entry->first, entry->second);
}

void CContentMapper::AddLocalMount(const std::string& remotePrefix, const std::string& localPrefix) {
  m_localMounts.emplace_back(remotePrefix, localPrefix);
}

int CContentMapper::SetPathMap(std::map<std::string, std::string>& paths) {
  m_pathMap = paths;
  return 0;
}

std::map<std::string, std::string>& CContentMapper::GetPathMap() { return m_pathMap; }
