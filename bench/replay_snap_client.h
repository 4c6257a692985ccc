// The snap client wired to recorded difference pages, its state as a job's ConfigureSnapshot
// leaves it for one backup path. Not thread-safe, like the snap client.
#ifndef BENCH_REPLAY_SNAP_CLIENT_H_
#define BENCH_REPLAY_SNAP_CLIENT_H_

#include <cstdint>
#include <string>

#include <boost/make_shared.hpp>

#include "QumuloSnapClient.h"
#include "support/page_replay.h"

namespace bench {

class ReplaySnapClient : public CQumuloSnapClient {
 public:
  // `backupPath` is compared as the agent gives it; `fsPath` is the cluster directory behind it
  // (ending with "/"). False when the page file cannot be read.
  bool Prepare(const std::string& pageFile, const std::string& backupPath, const std::string& fsPath,
               uint64_t olderId, uint64_t newerId) {
    auto queries = boost::make_shared<ReplayedSnapshotQueries>(pageFile);
    if (!queries->ok()) return false;
    m_snapshotQueries = queries;
    FileServerExportInfo info;
    info.m_backupPath = backupPath;
    if (info.m_backupPath.empty() || info.m_backupPath.back() != '/') info.m_backupPath += '/';
    info.m_fsPath = fsPath;
    info.m_snapshotName = "recorded-newer";
    info.m_snapshotId = newerId;
    info.m_prevSnapshotName = "recorded-older";
    info.m_prevSnapshotId = olderId;
    info.m_runSnapDiffScan = true;
    m_exports.push_back(info);
    m_fileSystemPaths[info.m_backupPath] = fsPath;
    m_initialized = true;
    return true;
  }
};

}  // namespace bench

#endif  // BENCH_REPLAY_SNAP_CLIENT_H_
