// Change detection: the paged difference between a path's previous and current snapshot, handed to
// the agent one change item at a time.

#include <algorithm>
#include <cstring>

#include "ClusterNames.h"
#include "FXPath.h"
#include "FXString.h"
#include "QumuloSnapClient.h"
#include "SnapClientSupport.h"
#include "SnapshotQueries.h"

namespace {

constexpr size_t kProgressEvery = 100000;
constexpr uint32_t kModeDirectory = 0x4000;
constexpr uint32_t kModeRegularFile = 0x8000;

// Copies a page's items to the end of the change list and records which comparison (backup path)
// they came from. The origin runs always add up to the items in the list, also when a copy fails.
void AppendPage(const std::list<Qumulo::CSnapshotDiffInfo>& page, CChangeStore& diffList,
                std::list<std::pair<size_t, std::string>>& origins, const std::string& backupPath) {
  if (page.empty()) return;
  if (origins.empty() || origins.back().second != backupPath) origins.emplace_back(0, backupPath);
  try {
    for (const Qumulo::CSnapshotDiffInfo& diff : page) {
      diffList.Append(diff);
      ++origins.back().first;
    }
  } catch (...) {
    if (origins.back().first == 0) origins.pop_back();
    throw;
  }
}

// Drops the newest origin counts until they add up to `items` again.
void TrimOrigins(std::list<std::pair<size_t, std::string>>& origins, size_t items) {
  size_t counted = 0;
  for (const auto& origin : origins) counted += origin.first;
  while (counted > items) {
    const size_t drop = std::min(counted - items, origins.back().first);
    origins.back().first -= drop;
    counted -= drop;
    if (origins.back().first == 0) origins.pop_back();
  }
}

// The first entry of the page that does not lie within the compared directory, or null. Such an
// entry would reach the agent untranslated, as a path of the backup host (/etc/shadow), and
// skipping it would silently drop an item from the backup: the comparison fails instead.
const Qumulo::CSnapshotDiffInfo* EntryOutside(const std::list<Qumulo::CSnapshotDiffInfo>& page,
                                              const std::string& directory) {
  for (const Qumulo::CSnapshotDiffInfo& diff : page) {
    if (!clusternames::IsWithin(diff.m_path, directory)) return &diff;
  }
  return nullptr;
}

}  // namespace

CQiError CQumuloSnapClient::CompareSnapshots(std::string sourceVolume, std::string localVolume,
                                             std::function<FileServerSnapshotCompareItem()>& itemSource) {
  return RunAtBoundary(snapfn::kCompareSnapshots, [&]() -> CQiError {
    if (!IsInitialized()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kCompareSnapshots), snapcode::kNotFound,
                                     "Qumulo Snap client is not initialized");
    }
    FXPath::AppendTrailingDelimiter(sourceVolume).IgnoreError();
    FXPath::AppendTrailingDelimiter(localVolume).IgnoreError();
    SNAP_LOG(0, snapfn::kCompareSnapshots, "Source Volume [%s] Local Volume [%s]", sourceVolume.c_str(),
             localVolume.c_str());

    const FileServerExportInfo* entry = nullptr;
    for (const FileServerExportInfo& info : m_exports) {
      if (info.m_backupPath == sourceVolume) {
        entry = &info;
        break;
      }
    }
    if (entry == nullptr) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kCompareSnapshots), snapcode::kFailed,
                                     "Could not compare snapshots for path [%s]", sourceVolume.c_str());
    }
    if (!entry->m_runSnapDiffScan) {
      SNAP_LOG(0, snapfn::kCompareSnapshots, "Run SnapDiff Scan is disabled. Snapshots may be unavailable.");
    }
    SNAP_LOG(0, snapfn::kCompareSnapshots, "Compare snapshots Current [%s][%llu] Previous [%s][%llu]",
             entry->m_snapshotName.c_str(), static_cast<unsigned long long>(entry->m_snapshotId),
             entry->m_prevSnapshotName.c_str(), static_cast<unsigned long long>(entry->m_prevSnapshotId));

    // A change list cut short by a full disk must not pass for the whole difference: a failure to
    // spill takes back every item of this comparison, and earlier leftovers stay.
    const CChangeStore::Checkpoint checkpoint = m_diffList.Mark();
    try {
      CQiError fetched = FetchDifference(*entry, sourceVolume, checkpoint);
      if (fetched.IsError()) return fetched;
    } catch (const CChangeStore::SpillFailure& failure) {
      m_diffList.Rewind(checkpoint);
      TrimOrigins(m_diffOrigins, m_diffList.size());
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kCompareSnapshots), snapcode::kDiskFull,
                                     "Could not write the change list to the spill directory [%s]: %s; %llu bytes "
                                     "needed so far",
                                     failure.directory().c_str(), std::strerror(failure.error()), failure.bytesNeeded());
    }

    SNAP_LOG(0, snapfn::kCompareSnapshots,
             "Total number of items received by ChangeList for snapshots [BASE][%llu] and [INCR][%llu]: %lu ",
             static_cast<unsigned long long>(entry->m_prevSnapshotId),
             static_cast<unsigned long long>(entry->m_snapshotId), static_cast<unsigned long>(m_diffList.size()));

    m_translation.valid = false;
    // The callable refers to this object without owning it; the agent drops it before the object.
    itemSource = [this]() { return GetSnapshotCompareItem(); };
    m_comparePath = sourceVolume;
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::FetchDifference(const FileServerExportInfo& entry, const std::string& sourceVolume,
                                             const CChangeStore::Checkpoint& checkpoint) {
  const unsigned long olderId = static_cast<unsigned long>(entry.m_prevSnapshotId);
  const unsigned long newerId = static_cast<unsigned long>(entry.m_snapshotId);
  std::list<Qumulo::CSnapshotDiffInfo> page;  // emptied and reused for every page
  std::string pageToken;
  std::string nextPageToken;
  const auto mapped = m_fileSystemPaths.find(sourceVolume);
  const std::string& directory = mapped != m_fileSystemPaths.end() ? mapped->second : entry.m_fsPath;
  // A page with an entry outside the directory takes the whole comparison with it: none of it
  // is to reach the agent.
  auto checkPage = [&]() -> CQiError {
    const Qumulo::CSnapshotDiffInfo* outside = EntryOutside(page, directory);
    if (outside == nullptr) return CQiError::Success();
    m_diffList.Rewind(checkpoint);
    TrimOrigins(m_diffOrigins, m_diffList.size());
    return FXErrorUtil::ErrorWin32(
        SNAP_LOCATION(snapfn::kCompareSnapshots), snapcode::kInvalidData,
        "The cluster listed the changed path [%s] for snapshots [%llu] and [%llu], which does not lie within the "
        "compared directory [%s]; the comparison is refused",
        clusternames::Shown(outside->m_path).c_str(), static_cast<unsigned long long>(entry.m_prevSnapshotId),
        static_cast<unsigned long long>(entry.m_snapshotId), clusternames::Shown(directory).c_str());
  };

  CQiError result = m_snapshotQueries->GetSnapshotDiff(olderId, newerId, page, nextPageToken, pageToken);
  if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kCompareSnapshots));
  result = checkPage();
  if (result.IsError()) return result;
  AppendPage(page, m_diffList, m_diffOrigins, sourceVolume);
  pageToken.swap(nextPageToken);
  nextPageToken.clear();

  while (!pageToken.empty()) {
    page.clear();
    result = m_snapshotQueries->GetSnapshotDiff(olderId, newerId, page, nextPageToken, pageToken);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kCompareSnapshots));
    pageToken.swap(nextPageToken);
    nextPageToken.clear();
    result = checkPage();
    if (result.IsError()) return result;
    if (m_diffList.size() % kProgressEvery == 0) {
      SNAP_LOG(0, snapfn::kCompareSnapshots, "Retrieved [%lu] Changelist Items",
               static_cast<unsigned long>(m_diffList.size()));
    }
    AppendPage(page, m_diffList, m_diffOrigins, sourceVolume);
  }
  return CQiError::Success();
}

FileServerSnapshotCompareItem CQumuloSnapClient::GetSnapshotCompareItem() {
  FileServerSnapshotCompareItem item;
  if (m_diffList.empty()) {
    item.m_changeType = kFileServerChangeEndOfList;
    return item;
  }
  // What throws here (a failed allocation, a spilled block the disk cannot give back) reaches the
  // agent with the item still pending: ending the list instead would pass a shortened change list
  // for a complete one. So the list is left alone until the item is built and logged.
  const CChangeStore::Item diff = m_diffList.Front();

  // Items are translated against the path of the comparison that fetched them, which is the last
  // compared path unless the agent left items of an earlier comparison unpulled.
  const std::string& originPath = m_diffOrigins.empty() ? m_comparePath : m_diffOrigins.front().second;

  const char* changeText = "";
  switch (diff.changeType) {
    case Qumulo::kSnapshotChangeCreated:
      item.m_changeType = kFileServerChangeNew;
      item.m_info.m_exists = true;
      changeText = " ChangeType [NEW] ";
      break;
    case Qumulo::kSnapshotChangeDeleted:
      item.m_changeType = kFileServerChangeDeleted;
      item.m_info.m_exists = false;
      changeText = " ChangeType [DELETED] ";
      break;
    case Qumulo::kSnapshotChangeModified:
      item.m_changeType = kFileServerChangeModified;
      item.m_info.m_exists = true;
      changeText = " ChangeType [MODIFIED] ";
      break;
    default:
      break;  // passed on as "none"
  }

  // The two prefixes change only with the comparison the items came from. Worked out aside, so that
  // a failure part way leaves no half-updated cache behind.
  if (!m_translation.valid || m_translation.origin != originPath) {
    PathTranslation fresh;
    fresh.origin = originPath;
    fresh.clusterPrefix = m_fileSystemPaths[originPath];
    fresh.localPrefix = originPath;
    FXString::RemoveRight(fresh.clusterPrefix, "/");
    FXPath::RemoveTrailingDelimiter(fresh.localPrefix).IgnoreError();
    fresh.valid = true;
    m_translation = std::move(fresh);
  }
  const std::string& clusterPrefix = m_translation.clusterPrefix;
  const std::string& localPrefix = m_translation.localPrefix;

  size_t length = diff.length;
  if (length > 0 && diff.path[length - 1] == '/') --length;
  if (FXLogEnabled(6)) {
    SNAP_LOG(6, snapfn::kGetSnapshotCompareItem, "Server [%s] Source [%s] Local [%s]", clusterPrefix.c_str(),
             std::string(diff.path, length).c_str(), localPrefix.c_str());
  }
  const size_t prefixLength = clusterPrefix.size();
  const bool underPrefix =
      length >= prefixLength && clusterPrefix.compare(0, prefixLength, diff.path, prefixLength) == 0;
  if (underPrefix) {
    item.m_path.reserve(localPrefix.size() + length - prefixLength);
    item.m_path.append(localPrefix).append(diff.path + prefixLength, length - prefixLength);
  } else {
    item.m_path.assign(diff.path, length);
  }

  item.m_newDirectory = diff.isDirectory && item.m_changeType == kFileServerChangeNew;
  item.m_info.m_mode = diff.isDirectory ? kModeDirectory : kModeRegularFile;

  // The description only serves the log line, so it is built only when that line is written.
  if (FXLogEnabled(3)) {
    std::string description = changeText;
    const std::string received(diff.path, diff.length);
    description += FXString::Format(" Server [%s] => Local [%s] Folder [%s] ", received.c_str(), item.m_path.c_str(),
                                    diff.isDirectory ? "Yes" : "No");
    SNAP_LOG(3, snapfn::kGetSnapshotCompareItem, "Changelist Item : %s", description.c_str());
  }

  // The handed-out item leaves the list for good; its block goes back once all its items have.
  m_diffList.PopFront();
  if (!m_diffOrigins.empty() && --m_diffOrigins.front().first == 0) m_diffOrigins.pop_front();
  return item;
}
