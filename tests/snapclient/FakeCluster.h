#ifndef TESTS_SNAPCLIENT_FAKECLUSTER_H
#define TESTS_SNAPCLIENT_FAKECLUSTER_H

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "FXErrorUtil.h"
#include "FileSystemQueries.h"
#include "QumuloRecords.h"
#include "Shares.h"
#include "SnapshotQueries.h"

// An in-memory cluster behind the wrapper's query interfaces: directories with ids, exports,
// snapshots, and scripted difference pages. Faults are injected by setting the fields below. For
// tests of the snap client's own logic; the real wire is covered against the emulator.
class FakeCluster {
 public:
  struct DiffCall {
    unsigned long olderId;
    unsigned long newerId;
    std::string pageToken;
    std::string nextTokenOnEntry;
    size_t pageSizeOnEntry;
  };
  struct DiffPage {
    std::vector<Qumulo::CSnapshotDiffInfo> items;
    std::string next;
  };

  std::map<std::string, uint64_t> directories;  // cluster path -> id
  std::list<Qumulo::CNFSExportEntry> exports;
  std::list<Qumulo::CSnapshotInfo> snapshots;   // in listing order
  std::map<std::string, DiffPage> diffPages;    // page token -> page
  uint64_t nextSnapshotId = 100;
  std::optional<std::string> createdDirectoryName;  // what creation reports as the directory name

  // Fault switches.
  std::string failAttributesFor;                // this path's attribute query fails
  int failCreateAfter = -1;                     // creations that succeed before one fails
  uint64_t failDeleteOf = 0;                    // deleting this id fails
  int failDiffCall = -1;                        // this 0-based diff call fails
  bool failExports = false;
  std::string createdNamePrefix;                // a created snapshot's record is named this plus the name

  // What was asked.
  std::vector<std::string> attributeQueries;
  std::vector<std::string> createdNames;
  std::vector<uint64_t> deletedIds;
  std::vector<DiffCall> diffCalls;
  int exportQueries = 0;

  void AddExport(const std::string& exportPath, const std::string& fsPath, uint64_t tenantId = 1) {
    Qumulo::CNFSExportEntry entry;
    entry.m_exportPath = exportPath;
    entry.m_fsPath = fsPath;
    entry.m_tenantId = tenantId;
    entry.m_id = exports.size() + 1;
    exports.push_back(entry);
  }
  Qumulo::CSnapshotInfo& AddSnapshot(const std::string& name, uint64_t sourceId) {
    Qumulo::CSnapshotInfo info;
    info.m_id = nextSnapshotId++;
    info.m_name = name;
    info.m_sourceFileId = sourceId;
    info.m_directoryName = std::to_string(info.m_id) + "_" + name;
    snapshots.push_back(info);
    return snapshots.back();
  }
  std::vector<std::string> SnapshotNames() const {
    std::vector<std::string> names;
    for (const auto& s : snapshots) names.push_back(s.m_name);
    return names;
  }
  static Qumulo::CSnapshotDiffInfo Diff(const std::string& path, int32_t type, bool isDirectory) {
    Qumulo::CSnapshotDiffInfo d;
    d.m_path = path;
    d.m_changeType = type;
    d.m_isDirectory = isDirectory;
    return d;
  }

  static CQiError Fail(unsigned int code, const char* what) {
    return FXErrorUtil::ErrorWin32(FXCodeLocation("FakeCluster", "fake", 0), code, "%s", what);
  }
};

class FakeFileSystemQueries : public Qumulo::CFileSystemQueries {
 public:
  explicit FakeFileSystemQueries(FakeCluster& cluster) : CFileSystemQueries(nullptr, nullptr), m_cluster(cluster) {}
  CQiError GetFileAttributes(const std::string& path, Qumulo::CDirectoryEntry& entry, int) override {
    m_cluster.attributeQueries.push_back(path);
    if (path == m_cluster.failAttributesFor) return FakeCluster::Fail(2, "attributes failed");
    auto found = m_cluster.directories.find(path);
    if (found == m_cluster.directories.end()) return FakeCluster::Fail(2, "no such path");
    entry.m_fileId = found->second;
    entry.m_isDirectory = true;
    return CQiError::Success();
  }

 private:
  FakeCluster& m_cluster;
};

class FakeShares : public Qumulo::CShares {
 public:
  explicit FakeShares(FakeCluster& cluster) : CShares(nullptr, nullptr), m_cluster(cluster) {}
  CQiError GetNFSExports(std::list<Qumulo::CNFSExportEntry>& exports) override {
    ++m_cluster.exportQueries;
    if (m_cluster.failExports) return FakeCluster::Fail(1460, "exports failed");
    exports.insert(exports.end(), m_cluster.exports.begin(), m_cluster.exports.end());
    return CQiError::Success();
  }

 private:
  FakeCluster& m_cluster;
};

class FakeSnapshotQueries : public Qumulo::CSnapshotQueries {
 public:
  explicit FakeSnapshotQueries(FakeCluster& cluster) : CSnapshotQueries(nullptr, nullptr), m_cluster(cluster) {}

  CQiError CreateSnapshot(const std::string& name, unsigned long directoryId, Qumulo::CSnapshotInfo& snapshot,
                          std::string) override {
    if (m_cluster.failCreateAfter == 0) return FakeCluster::Fail(1627, "create failed");
    if (m_cluster.failCreateAfter > 0) --m_cluster.failCreateAfter;
    m_cluster.createdNames.push_back(name);
    snapshot = m_cluster.AddSnapshot(m_cluster.createdNamePrefix + name, directoryId);
    if (m_cluster.createdDirectoryName) snapshot.m_directoryName = *m_cluster.createdDirectoryName;
    return CQiError::Success();
  }
  CQiError ListSnapshots(std::list<Qumulo::CSnapshotInfo>& snapshots) override {
    snapshots.insert(snapshots.end(), m_cluster.snapshots.begin(), m_cluster.snapshots.end());
    return CQiError::Success();
  }
  CQiError DeleteSnapshot(unsigned long id) override {
    if (id == m_cluster.failDeleteOf) return FakeCluster::Fail(2, "delete failed");
    m_cluster.deletedIds.push_back(id);
    m_cluster.snapshots.remove_if([id](const Qumulo::CSnapshotInfo& s) { return s.m_id == id; });
    return CQiError::Success();
  }
  CQiError GetSnapshotDiff(unsigned long olderId, unsigned long newerId, std::list<Qumulo::CSnapshotDiffInfo>& page,
                           std::string& nextPageToken, std::string pageToken) override {
    const int call = static_cast<int>(m_cluster.diffCalls.size());
    m_cluster.diffCalls.push_back({olderId, newerId, pageToken, nextPageToken, page.size()});
    if (call == m_cluster.failDiffCall) return FakeCluster::Fail(1460, "diff page failed");
    auto found = m_cluster.diffPages.find(pageToken);
    if (found == m_cluster.diffPages.end()) return FakeCluster::Fail(160, "bad token");
    page.insert(page.end(), found->second.items.begin(), found->second.items.end());
    nextPageToken = found->second.next;
    return CQiError::Success();
  }

 private:
  FakeCluster& m_cluster;
};

#endif
