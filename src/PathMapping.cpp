// Snapshot path mapping: the content mapper's path map and the snapshot map file.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <boost/make_shared.hpp>

#include "ClusterNames.h"
#include "ContentMapper.h"
#include "QumuloSnapClient.h"
#include "SnapClientSupport.h"
#include "auto_fileptr.h"

CQiError CQumuloSnapClient::UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) {
  return RunAtBoundary(snapfn::kUpdateContentMapperPaths, [&]() -> CQiError {
    if (!m_contentMapperPaths.empty()) {
      if (!contentMapper) {
        contentMapper = boost::make_shared<CContentMapper>();
        if (!contentMapper) {
          return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kUpdateContentMapperPaths),
                                         snapcode::kNotEnoughMemory);
        }
      }
      contentMapper->SetPathMap(m_contentMapperPaths);
      for (const auto& entry : m_contentMapperPaths) {
        SNAP_LOG(0, snapfn::kUpdateContentMapperPaths, "Content mapper path : %s => %s", entry.first.c_str(),
                 entry.second.c_str());
      }
    }
    CQiError result = SaveSnapshotInformation();
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kUpdateContentMapperPaths));
    SNAP_LOG(0, snapfn::kUpdateContentMapperPaths, "Saving snapshot information in File [%s]", m_snapMapFile.c_str());
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) {
  return RunAtBoundary(snapfn::kRepopulateContentMapperPaths, [&]() -> CQiError {
    if (!contentMapper) {
      SNAP_LOG(0, snapfn::kRepopulateContentMapperPaths, "Given content mapper is not initialized!");
      return CQiError::Success();
    }
    m_useContentMapper = true;  // export lookups now go through the auto-mount converter

    boost::shared_ptr<CContentMapper> mapper = boost::dynamic_pointer_cast<CContentMapper>(contentMapper);
    if (!mapper) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kRepopulateContentMapperPaths), snapcode::kBadArguments,
                                     "Dynamic cast failed for ContentMapper");
    }
    std::map<std::string, std::string> autoMountPaths;
    for (const auto& entry : m_contentMapperPaths) {
      std::string local = mapper->GetLocalPathOf(entry.second);
      SNAP_LOG(1, snapfn::kRepopulateContentMapperPaths,
               "Scan path [%s] => Snapshot path [%s] => AutoMount snapshot path [%s]", entry.first.c_str(),
               entry.second.c_str(), local.c_str());
      autoMountPaths[entry.first] = local;
    }
    // Checked before the map is emptied: without a file to write, the job's map must survive.
    if (m_snapMapFile.empty()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kRepopulateContentMapperPaths), snapcode::kFailed,
                                     "SnapMapInfo file not set");
    }
    m_contentMapperPaths.clear();

    contentMapper->SetPathMap(autoMountPaths);
    m_contentMapperPaths = autoMountPaths;

    // Empty the file first, so that it ends up holding exactly the new map. A file that cannot be
    // emptied or written is reported: a job must not succeed with a stale or empty map file.
    auto_fileptr truncated(fopen64(m_snapMapFile.c_str(), "w"));
    if (!truncated.is_valid()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kRepopulateContentMapperPaths), snapcode::kFailed,
                                     " Failed to open [%s] file", m_snapMapFile.c_str());
    }
    CQiError saved = SaveSnapshotInformation();
    truncated.reset(nullptr);
    if (saved.IsError()) return saved.Push(SNAP_LOCATION(snapfn::kRepopulateContentMapperPaths));
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::SaveSnapshotInformation() {
  return RunAtBoundary(snapfn::kSaveSnapshotInformation, [&]() -> CQiError {
    if (m_snapMapFile.empty()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kSaveSnapshotInformation), snapcode::kFailed,
                                     "SnapMapInfo file not set");
    }
    // One line per entry, and the line format has no escape for a line feed: a path holding one
    // would write a line of its own. Nothing is written then, rather than part of the map.
    for (const auto& entry : m_contentMapperPaths) {
      const std::string& path = entry.first.find('\n') != std::string::npos ? entry.first : entry.second;
      if (path.find('\n') != std::string::npos) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kSaveSnapshotInformation), snapcode::kFailed,
                                       " Failed to write [%s] file: the path [%s] holds a line feed, which a map "
                                       "line cannot carry",
                                       m_snapMapFile.c_str(), clusternames::Shown(path).c_str());
      }
    }
    auto_fileptr file(fopen64(m_snapMapFile.c_str(), "a+"));
    if (!file.is_valid()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kSaveSnapshotInformation), snapcode::kFailed,
                                     " Failed to open [%s] file", m_snapMapFile.c_str());
    }
    // A full disk or an I/O error shows in fprintf or, for buffered lines, only in fclose; either
    // means the agent would read an incomplete map, so both are reported.
    int writeError = 0;
    for (const auto& entry : m_contentMapperPaths) {
      if (std::fprintf(file.get(), "m:%s:%s:\n", entry.first.c_str(), entry.second.c_str()) < 0) {
        writeError = errno;
        break;
      }
    }
    if (file.close() != 0 && writeError == 0) writeError = errno;
    if (writeError != 0) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kSaveSnapshotInformation), snapcode::kFailed,
                                     " Failed to write [%s] file: %s", m_snapMapFile.c_str(),
                                     std::strerror(writeError));
    }
    return CQiError::Success();
  });
}
