#ifndef TESTS_SNAPCLIENT_TESTABLESNAPCLIENT_H
#define TESTS_SNAPCLIENT_TESTABLESNAPCLIENT_H

#include <boost/make_shared.hpp>

#include "ContentMapper.h"
#include "FakeCluster.h"
#include "FXString.h"
#include "QumuloSnapClient.h"

// A content mapper of another kind than the agent's concrete one.
class OtherMapper : public ContentMapperAPI {
 public:
  int LookupLocalPath(const std::string&, std::string& localPath) override {
    localPath.clear();
    return 1;
  }
  std::string MapPath(const std::string& scanPath) const override { return scanPath; }
  void AddLocalMount(const std::string&, const std::string&) override {}
  int SetPathMap(std::map<std::string, std::string>&) override { return 0; }
};

// The snap client with its state opened up, wired to a FakeCluster as if Initialize had connected.
class TestableSnapClient : public CQumuloSnapClient {
 public:
  using CQumuloSnapClient::m_comparePath;
  using CQumuloSnapClient::m_contentMapperPaths;
  using CQumuloSnapClient::m_diffList;
  using CQumuloSnapClient::m_exports;
  using CQumuloSnapClient::m_fileSystemPaths;
  using CQumuloSnapClient::m_snapMapFile;
  using CQumuloSnapClient::m_snapshotPrefix;
  using CQumuloSnapClient::m_snapshots;
  using CQumuloSnapClient::m_useContentMapper;

  // Prepares the object as a successful Initialize would, with the fake behind every query.
  void Connect(FakeCluster& cluster, unsigned long clientId, unsigned long appId2, LONGLONG jobId,
               LONGLONG previousJobId) {
    m_clientId = clientId;
    m_appId2 = appId2;
    m_jobId = jobId;
    m_previousJobId = previousJobId;
    m_snapshotPrefix = FXString::Format("kwsnap_%lu_%lu", clientId, appId2);
    m_fileSystemQueries = boost::make_shared<FakeFileSystemQueries>(cluster);
    m_shares = boost::make_shared<FakeShares>(cluster);
    m_snapshotQueries = boost::make_shared<FakeSnapshotQueries>(cluster);
    m_initialized = true;
  }
};

#endif
