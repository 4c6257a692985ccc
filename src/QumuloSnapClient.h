#ifndef SRC_QUMULOSNAPCLIENT_H
#define SRC_QUMULOSNAPCLIENT_H

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "ChangeStore.h"
#include "FileServerSnapClientBase.h"
#include "QiError.h"
#include "QumuloCluster.h"
#include "QumuloRecords.h"

namespace Qumulo {
class CConnection;
class CParser;
class CFileSystemQueries;
class CShares;
class CSnapshotQueries;
}  // namespace Qumulo
class ApplicationId;

// The snap client for a Qumulo cluster: snapshots a job's backup paths, reconciles them with the
// previous job's snapshots, produces the change list between the two, and points the agent's reads
// at the snapshots. Operations run on the agent's calling thread; one object is not to be used from
// two threads at once. No operation throws.
class CQumuloSnapClient : public CFileServerSnapClientBase {
 public:
  CQumuloSnapClient();
  ~CQumuloSnapClient() override;
  CQumuloSnapClient(const CQumuloSnapClient&) = delete;
  CQumuloSnapClient& operator=(const CQumuloSnapClient&) = delete;

  CQiError Initialize(LONGLONG jobId, ULONG clientId, ULONG appId1, ULONG appId2, const std::string& unused1,
                      const std::string& unused2, const std::string& snapMapFile, LONGLONG previousJobId,
                      LONGLONG unused3, LONGLONG unused4, LONGLONG unused5,
                      const ContentMapperAPIPtr& contentMapper) override;
  CQiError InitArray(ULONG clientId) override;
  CQiError VerifySnapScanSupport() override;
  CQiError ConfigureSnapshot(std::list<std::string>& backupPaths, const std::list<std::string>& includes,
                             const std::list<std::string>& excludes) override;
  CQiError ManageSnapshots() override;
  CQiError CompareSnapshots(std::string sourceVolume, std::string localVolume,
                            std::function<FileServerSnapshotCompareItem()>& itemSource) override;
  CQiError CleanupSnapshot(const std::set<std::string>& names) override;
  CQiError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) override;
  CQiError CleanupSnapshotsPostBackup(bool backupSucceeded) override;
  CQiError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) override;
  CQiError DeleteAutoMountFailedSnapshots(const std::list<std::string>& paths) override;
  // Appends the path map to the snapshot map file.
  virtual CQiError SaveSnapshotInformation();

  CQiError Configure();
  CQiError GetSnapshotName(LONGLONG jobId, const std::string& path, std::string& name, unsigned long long& fileId);
  CQiError GetPartialSnapshotName(LONGLONG jobId, std::string& name);
  CQiError GetFilterSet(const std::list<std::string>& includes, const std::list<std::string>& excludes,
                        boost::shared_ptr<CFilterSet>& filterSet);
  CQiError GetExportInfo(std::string& backupPath, const std::list<std::string>& includes,
                         const std::list<std::string>& excludes, bool& noExportPath, FileServerExportInfo& info);
  FileServerSnapshotCompareItem GetSnapshotCompareItem();
  // Appends every page of the entry's difference to m_diffList; a refused page takes back what the
  // comparison appended since `checkpoint`. Throws what appending throws.
  CQiError FetchDifference(const FileServerExportInfo& entry, const std::string& sourceVolume,
                           const CChangeStore::Checkpoint& checkpoint);
  bool IsInitialized() const { return m_initialized; }

 protected:
  bool m_initialized;
  CQumuloCluster m_cluster;
  boost::shared_ptr<Qumulo::CConnection> m_connection;
  boost::shared_ptr<Qumulo::CParser> m_parser;
  boost::shared_ptr<Qumulo::CFileSystemQueries> m_fileSystemQueries;
  boost::shared_ptr<Qumulo::CShares> m_shares;
  boost::shared_ptr<Qumulo::CSnapshotQueries> m_snapshotQueries;
  std::map<std::string, Qumulo::CSnapshotInfo> m_snapshots;
  CChangeStore m_diffList;
  std::string m_comparePath;
  bool m_useContentMapper;
  boost::shared_ptr<ApplicationId> m_applicationId;
  unsigned long m_appId1;
  unsigned long m_clientId;
  unsigned long m_appId2;
  LONGLONG m_jobId;
  LONGLONG m_previousJobId;
  std::string m_snapMapFile;
  std::string m_snapshotPrefix;
  std::list<FileServerExportInfo> m_exports;
  std::map<std::string, std::string> m_contentMapperPaths;
  std::map<std::string, std::string> m_fileSystemPaths;

  // Which comparison fetched the items of m_diffList, front first: runs of (item count, backup
  // path), so that items an agent left unpulled are still translated against their own path.
  std::list<std::pair<size_t, std::string>> m_diffOrigins;
  // The prefixes that translate the items of one comparison, worked out once per comparison.
  struct PathTranslation {
    bool valid = false;
    std::string origin;
    std::string clusterPrefix;  // without its trailing "/"
    std::string localPrefix;    // without its trailing "/"
  };
  PathTranslation m_translation;
};

#endif
