// Change detection: the paged difference between a path's previous and current snapshot, handed to
// the agent one change item at a time.

#include "FXPath.h"
#include "FXString.h"
#include "QumuloSnapClient.h"
#include "SnapClientSupport.h"
#include "SnapshotQueries.h"

namespace {

constexpr size_t kProgressEvery = 100000;
constexpr uint32_t kModeDirectory = 0x4000;
constexpr uint32_t kModeRegularFile = 0x8000;

// Moves a page's items to the end of the change list without copying them, and records which
// comparison (backup path) they came from.
void AppendPage(std::list<Qumulo::CSnapshotDiffInfo>& page, std::list<Qumulo::CSnapshotDiffInfo>& diffList,
                std::list<std::pair<size_t, std::string>>& origins, const std::string& backupPath) {
  if (page.empty()) return;
  if (!origins.empty() && origins.back().second == backupPath) {
    origins.back().first += page.size();
  } else {
    origins.emplace_back(page.size(), backupPath);
  }
  diffList.splice(diffList.end(), page);
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

    const unsigned long olderId = static_cast<unsigned long>(entry->m_prevSnapshotId);
    const unsigned long newerId = static_cast<unsigned long>(entry->m_snapshotId);
    std::list<Qumulo::CSnapshotDiffInfo> page;  // reused for every page
    std::string pageToken;
    std::string nextPageToken;

    CQiError result = m_snapshotQueries->GetSnapshotDiff(olderId, newerId, page, nextPageToken, pageToken);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kCompareSnapshots));
    AppendPage(page, m_diffList, m_diffOrigins, sourceVolume);
    pageToken.swap(nextPageToken);
    nextPageToken.clear();

    while (!pageToken.empty()) {
      page.clear();
      result = m_snapshotQueries->GetSnapshotDiff(olderId, newerId, page, nextPageToken, pageToken);
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kCompareSnapshots));
      pageToken.swap(nextPageToken);
      nextPageToken.clear();
      if (m_diffList.size() % kProgressEvery == 0) {
        SNAP_LOG(0, snapfn::kCompareSnapshots, "Retrieved [%lu] Changelist Items",
                 static_cast<unsigned long>(m_diffList.size()));
      }
      AppendPage(page, m_diffList, m_diffOrigins, sourceVolume);
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

FileServerSnapshotCompareItem CQumuloSnapClient::GetSnapshotCompareItem() {
  FileServerSnapshotCompareItem item;
  if (m_diffList.empty()) {
    item.m_changeType = kFileServerChangeEndOfList;
    return item;
  }
  // Nothing here may throw into the agent's call; an item that cannot be built stays in the list
  // and the agent sees the end of the list.
  try {
    Qumulo::CSnapshotDiffInfo& diff = m_diffList.front();

    // Items are translated against the path of the comparison that fetched them, which is the last
    // compared path unless the agent left items of an earlier comparison unpulled.
    const std::string& originPath = m_diffOrigins.empty() ? m_comparePath : m_diffOrigins.front().second;

    const char* changeText = "";
    switch (diff.m_changeType) {
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

    // The two prefixes change only with the comparison the items came from.
    if (!m_translation.valid || m_translation.origin != originPath) {
      m_translation.origin = originPath;
      m_translation.clusterPrefix = m_fileSystemPaths[originPath];
      m_translation.localPrefix = originPath;
      FXString::RemoveRight(m_translation.clusterPrefix, "/");
      FXPath::RemoveTrailingDelimiter(m_translation.localPrefix).IgnoreError();
      m_translation.valid = true;
    }
    const std::string& clusterPrefix = m_translation.clusterPrefix;
    const std::string& localPrefix = m_translation.localPrefix;

    // The received path is needed as it came only for the description line.
    std::string& source = diff.m_path;
    const std::string received = FXLogEnabled(3) ? source : std::string();
    size_t length = source.size();
    if (length > 0 && source[length - 1] == '/') --length;
    if (FXLogEnabled(6)) {
      SNAP_LOG(6, snapfn::kGetSnapshotCompareItem, "Server [%s] Source [%s] Local [%s]", clusterPrefix.c_str(),
               source.substr(0, length).c_str(), localPrefix.c_str());
    }
    // Translate with at most one allocation, made before the list entry is touched: the path is
    // moved into the item rather than copied.
    const bool underPrefix = length >= clusterPrefix.size() && source.compare(0, clusterPrefix.size(), clusterPrefix) == 0;
    if (underPrefix && localPrefix.size() > clusterPrefix.size()) {
      std::string translated;
      translated.reserve(localPrefix.size() + length - clusterPrefix.size());
      translated.append(localPrefix).append(source, clusterPrefix.size(), length - clusterPrefix.size());
      item.m_path = std::move(translated);
    } else {
      source.resize(length);
      if (underPrefix) source.replace(0, clusterPrefix.size(), localPrefix);
      item.m_path = std::move(source);
    }

    item.m_newDirectory = diff.m_isDirectory && item.m_changeType == kFileServerChangeNew;
    item.m_info.m_mode = diff.m_isDirectory ? kModeDirectory : kModeRegularFile;

    // The description only serves the log line, so it is built only when that line is written.
    if (FXLogEnabled(3)) {
      std::string description = changeText;
      description += FXString::Format(" Server [%s] => Local [%s] Folder [%s] ", received.c_str(),
                                      item.m_path.c_str(), diff.m_isDirectory ? "Yes" : "No");
      SNAP_LOG(3, snapfn::kGetSnapshotCompareItem, "Changelist Item : %s", description.c_str());
    }

    // The handed-out item leaves the list for good, freeing its memory.
    m_diffList.pop_front();
    if (!m_diffOrigins.empty() && --m_diffOrigins.front().first == 0) m_diffOrigins.pop_front();
    return item;
  } catch (...) {
    SNAP_LOG(0, snapfn::kGetSnapshotCompareItem, "Unable to build the next change item; ending the change list");
    FileServerSnapshotCompareItem end;
    end.m_changeType = kFileServerChangeEndOfList;
    return end;
  }
}
