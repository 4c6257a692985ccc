#include "KwMntTab.h"

#include <mntent.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "FXErrorUtil.h"

namespace {

const char kDefaultTable[] = "/proc/self/mounts";

std::mutex& TableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& TableName() {
  static std::string name = kDefaultTable;
  return name;
}

}  // namespace

void KwMntTab::SetTablePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(TableMutex());
  TableName() = path.empty() ? kDefaultTable : path;
}

std::string KwMntTab::TablePath() {
  std::lock_guard<std::mutex> lock(TableMutex());
  return TableName();
}

CQiError KwMntTab::getAll(std::list<Entry>& entries) {
  const FXCodeLocation location("KwMntTab", "static CQiError KwMntTab::getAll(std::list<KwMntTab::Entry>&)", __LINE__);
  const std::string table = TablePath();
  FILE* stream = setmntent(table.c_str(), "r");
  if (stream == nullptr) {
    int error = errno;
    return FXErrorUtil::ErrorWin32(location, 2, "Unable to read the mount table [%s]: %s", table.c_str(),
                                   std::strerror(error));
  }
  struct mntent entry;
  char buffer[8192];
  while (getmntent_r(stream, &entry, buffer, sizeof(buffer)) != nullptr) {
    Entry out;
    out.m_device = entry.mnt_fsname ? entry.mnt_fsname : "";
    out.m_mountPoint = entry.mnt_dir ? entry.mnt_dir : "";
    out.m_fsType = entry.mnt_type ? entry.mnt_type : "";
    out.m_options = entry.mnt_opts ? entry.mnt_opts : "";
    out.m_dumpFrequency = static_cast<uint64_t>(entry.mnt_freq);
    entries.push_back(std::move(out));
  }
  endmntent(stream);
  return CQiError::Success();
}
