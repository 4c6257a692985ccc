#ifndef TESTS_SNAPCLIENT_TESTABLESNAPCLIENT_H
#define TESTS_SNAPCLIENT_TESTABLESNAPCLIENT_H

#include <boost/make_shared.hpp>

#include "FakeCluster.h"
#include "FXString.h"
#include "QumuloSnapClient.h"

// The snap client with its state opened up, wired to a FakeCluster as if Initialize had connected.
class TestableSnapClient : public CQumuloSnapClient {
 public:
  using CQumuloSnapClient::m_comparePath;
  using CQumuloSnapClient::m_contentMapperPaths;
  using CQumuloSnapClient::m_diffList;
  using CQumuloSnapClient::m_exports;
  using CQumuloSnapClient::m_fileSystemPaths;
  using CQumuloSnapClient::m_initialized;
  using CQumuloSnapClient::m_jobId;
  using CQumuloSnapClient::m_previousJobId;
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
