// Snapshot lifecycle: names, creation of the job's snapshots, reconciliation with the previous
// job's, and deletion of stale ones.

#include <algorithm>

#include "ClusterNames.h"
#include "FXPath.h"
#include "FXString.h"
#include "FileSystemQueries.h"
#include "QumuloSnapClient.h"
#include "SnapClientSupport.h"
#include "SnapshotQueries.h"

CQiError CQumuloSnapClient::GetSnapshotName(LONGLONG jobId, const std::string& path, std::string& name,
                                            unsigned long long& fileId) {
  return RunAtBoundary(snapfn::kGetSnapshotName, [&]() -> CQiError {
    if (!IsInitialized()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kGetSnapshotName), snapcode::kNotFound,
                                     "Qumulo Snap client is not initialized");
    }
    // Asked afresh on every call, reconciliation included: the number is the cluster's answer now,
    // not one remembered from creation.
    Qumulo::CDirectoryEntry entry;
    CQiError result = m_fileSystemQueries->GetFileAttributes(path, entry, 0);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kGetSnapshotName));
    std::string built = FXString::Format("%s_%lld_%lu", m_snapshotPrefix.c_str(), static_cast<long long>(jobId),
                                         static_cast<unsigned long>(entry.m_fileId));
    fileId = entry.m_fileId;
    name.swap(built);
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::GetPartialSnapshotName(LONGLONG jobId, std::string& name) {
  name = FXString::Format("%s_%lld_", m_snapshotPrefix.c_str(), static_cast<long long>(jobId));
  return CQiError::Success();
}

CQiError CQumuloSnapClient::ConfigureSnapshot(std::list<std::string>& backupPaths,
                                              const std::list<std::string>& includes,
                                              const std::list<std::string>& excludes) {
  return RunAtBoundary(snapfn::kConfigureSnapshot, [&]() -> CQiError {
    if (!IsInitialized()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kConfigureSnapshot), snapcode::kNotFound,
                                     "Qumulo Snap client is not initialized");
    }
    m_translation.valid = false;  // the cluster paths of the backup paths may change below

    for (const std::string& backupPath : backupPaths) {
      std::string path = backupPath;
      std::string key = path;  // the path as a map key: with one trailing "/"
      FXPath::AppendTrailingDelimiter(key).IgnoreError();

      // A path that already has its snapshot in this job (named twice, or by an earlier call) is
      // not snapshotted again: a second snapshot would add a second export record and stack a
      // second ".snapshot/<dir>" onto its content mapper path.
      const bool done = std::any_of(m_exports.begin(), m_exports.end(),
                                    [&key](const FileServerExportInfo& existing) { return existing.m_backupPath == key; });
      if (done) continue;

      FileServerExportInfo info;
      bool noExportPath = false;
      CQiError result = GetExportInfo(path, includes, excludes, noExportPath, info);
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kConfigureSnapshot));

      std::string name;
      unsigned long long fileId = 0;
      result = GetSnapshotName(m_jobId, info.m_fsPath, name, fileId);
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kConfigureSnapshot));

      Qumulo::CSnapshotInfo snapshot;
      result = m_snapshotQueries->CreateSnapshot(name, static_cast<unsigned long>(fileId), snapshot, std::string());
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kConfigureSnapshot));
      // The directory name becomes part of the path the agent reads from and of a map-file line:
      // "../../etc" or an embedded line feed from the cluster must not redirect either.
      if (!clusternames::IsSingleComponent(snapshot.m_directoryName)) {
        return FXErrorUtil::ErrorWin32(
            SNAP_LOCATION(snapfn::kConfigureSnapshot), snapcode::kInvalidData,
            "The cluster gave snapshot [%llu] (%s) the directory name [%s], which is not a single path component; "
            "refused. The snapshot carries this job's name, so a later job's reconciliation removes it as stale",
            static_cast<unsigned long long>(snapshot.m_id), clusternames::Shown(name).c_str(),
            clusternames::Shown(snapshot.m_directoryName).c_str());
      }
      SNAP_LOG(0, snapfn::kConfigureSnapshot, "Created Snapshot %s", snapshot.m_name.c_str());

      std::string& snapshotPath = m_contentMapperPaths[key];
      if (snapshotPath.empty()) snapshotPath = key;
      FXPath::Append(snapshotPath, ".snapshot", 0).IgnoreError();
      FXPath::Append(snapshotPath, snapshot.m_directoryName, 0).IgnoreError();

      std::string& fsPath = m_fileSystemPaths[info.m_backupPath];
      if (fsPath.empty()) fsPath = info.m_fsPath;

      info.m_snapshotName = name;
      info.m_snapshotId = snapshot.m_id;
      m_exports.push_back(info);
    }

    CQiError result = ManageSnapshots();
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kConfigureSnapshot));
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::ManageSnapshots() {
  return RunAtBoundary(snapfn::kManageSnapshots, [&]() -> CQiError {
    if (!IsInitialized()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kManageSnapshots), snapcode::kNotFound,
                                     "Qumulo Snap client is not initialized");
    }
    std::list<Qumulo::CSnapshotInfo> listed;
    CQiError result = m_snapshotQueries->ListSnapshots(listed);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kManageSnapshots));

    // Names are the keys: of two snapshots with one name, the one listed last is kept.
    m_snapshots.clear();
    for (const Qumulo::CSnapshotInfo& snapshot : listed) m_snapshots[snapshot.m_name] = snapshot;

    std::string currentPartial;
    std::string previousPartial;
    GetPartialSnapshotName(m_jobId, currentPartial).IgnoreError();
    GetPartialSnapshotName(m_previousJobId, previousPartial).IgnoreError();
    // The "_" after the prefix keeps application 23 from passing for application 2.
    const std::string ownPrefix = m_snapshotPrefix + "_";

    std::set<std::string> stale;
    for (FileServerExportInfo& info : m_exports) {
      info.m_prevSnapshotId = 0;
      info.m_runSnapDiffScan = false;

      std::string expectedName;
      unsigned long long fileId = 0;
      result = GetSnapshotName(m_previousJobId, info.m_fsPath, expectedName, fileId);
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kManageSnapshots));

      for (const auto& named : m_snapshots) {
        const Qumulo::CSnapshotInfo& snapshot = named.second;
        if (!FXString::MatchLeft(named.first, ownPrefix)) continue;
        if (snapshot.m_name == expectedName && snapshot.m_sourceFileId == fileId) {
          info.m_prevSnapshotId = snapshot.m_id;
          info.m_prevSnapshotName = snapshot.m_name;
        } else if (!FXString::MatchLeft(snapshot.m_name, currentPartial) &&
                   !FXString::MatchLeft(snapshot.m_name, previousPartial)) {
          stale.insert(named.first);
        }
      }

      if (info.m_prevSnapshotId != 0) {
        info.m_runSnapDiffScan = true;
      } else {
        SNAP_LOG(0, snapfn::kManageSnapshots,
                 "Previous snapshot [%s] not found in qumulo cluster. Disabling snapshot comparison for this path : %s",
                 expectedName.c_str(), info.m_backupPath.c_str());
      }
    }

    result = CleanupSnapshot(stale);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kManageSnapshots));
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::CleanupSnapshot(const std::set<std::string>& names) {
  return RunAtBoundary(snapfn::kCleanupSnapshot, [&]() -> CQiError {
    for (const std::string& name : names) {
      auto found = m_snapshots.find(name);
      if (found == m_snapshots.end()) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kCleanupSnapshot), snapcode::kNotFound,
                                       "Unable to find snapshot information for %s", name.c_str());
      }
      const unsigned long long id = found->second.m_id;
      SNAP_LOG(0, snapfn::kCleanupSnapshot, "Deleting snapshot [%s] ID [%llu]", name.c_str(), id);
      CQiError result = m_snapshotQueries->DeleteSnapshot(static_cast<unsigned long>(id));
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kCleanupSnapshot));
    }
    return CQiError::Success();
  });
}
