// The snap client object, job initialisation and the connection to the cluster.

#include <algorithm>
#include <new>

#include <boost/make_shared.hpp>

#include "ApplicationId.h"
#include "ClientProperties.h"
#include "Connection.h"
#include "ContentMapper.h"
#include "FXString.h"
#include "FileSystemQueries.h"
#include "KWClient.h"
#include "Parser.h"
#include "QumuloSnapClient.h"
#include "Shares.h"
#include "SnapClientSupport.h"
#include "SnapshotQueries.h"

namespace {
const char kPort[] = "8000";
const char kVersion[] = "2.13.2.1";
const char kSnapshotLiteral[] = "kwsnap";
}  // namespace

CQumuloSnapClient::CQumuloSnapClient()
    : m_initialized(false),
      m_useContentMapper(false),
      m_appId1(0),
      m_clientId(0),
      m_appId2(0),
      m_jobId(0),
      m_previousJobId(0) {}

// Members go in reverse declaration order; nothing is sent to the cluster: the snapshots stay for
// the next job.
CQumuloSnapClient::~CQumuloSnapClient() = default;

CQiError CQumuloSnapClient::VerifySnapScanSupport() { return CQiError::Success(); }

CQiError CQumuloSnapClient::CleanupSnapshotsPostBackup(bool) { return CQiError::Success(); }

CQiError CQumuloSnapClient::DeleteAutoMountFailedSnapshots(const std::list<std::string>&) {
  return CQiError::Success();
}

CQiError CQumuloSnapClient::GetFilterSet(const std::list<std::string>&, const std::list<std::string>&,
                                         boost::shared_ptr<CFilterSet>&) {
  return CQiError::Success();
}

CQiError CQumuloSnapClient::Initialize(LONGLONG jobId, ULONG clientId, ULONG appId1, ULONG appId2,
                                       const std::string&, const std::string&, const std::string& snapMapFile,
                                       LONGLONG previousJobId, LONGLONG, LONGLONG, LONGLONG,
                                       const ContentMapperAPIPtr& contentMapper) {
  return RunAtBoundary(snapfn::kInitialize, [&]() -> CQiError {
    m_appId1 = appId1;
    m_clientId = clientId;
    m_appId2 = appId2;
    m_jobId = jobId;
    m_previousJobId = previousJobId;
    m_snapMapFile = snapMapFile;
    m_snapshotPrefix = FXString::Format("%s_%lu_%lu", kSnapshotLiteral, m_clientId, m_appId2);

    CQiError result = InitArray(clientId);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kInitialize));

    m_applicationId.reset(new (std::nothrow) ApplicationId(m_appId1, m_appId2));
    if (!m_applicationId) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kInitialize), snapcode::kNotEnoughMemory);
    }

    if (!contentMapper) {
      m_useContentMapper = false;
    } else {
      m_useContentMapper = true;
      boost::shared_ptr<CContentMapper> mapper = boost::dynamic_pointer_cast<CContentMapper>(contentMapper);
      if (!mapper) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kInitialize), snapcode::kBadArguments,
                                       "Dynamic cast failed for ContentMapper");
      }
      m_contentMapperPaths = mapper->GetPathMap();
    }

    m_initialized = true;
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::InitArray(ULONG clientId) {
  return RunAtBoundary(snapfn::kInitArray, [&]() -> CQiError {
    if (clientId == 0) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kInitArray), snapcode::kBadArguments,
                                     "The Client ID is not set");
    }
    KWClient client(static_cast<unsigned long>(clientId));

    std::string hostname;
    if (client.getNetworkHostname(hostname, nullptr) != 0 || hostname.empty()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kInitArray), snapcode::kNotFound,
                                     "Unable to retrieve Qumulo Server Hostname");
    }

    // A client without properties has no credentials to give; treat it as such rather than
    // dereferencing nothing.
    ClientProperties* properties = client.getClientProperties(nullptr);
    std::string userName;
    std::string password;
    if (properties == nullptr || properties->getFileServerCredentials(userName, password, true, nullptr) != 0 ||
        userName.empty()) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kInitArray), snapcode::kNotFound,
                                     "Unable to retrieve Qumulo File server credentials");
    }

    SNAP_LOG(0, snapfn::kInitArray, "Retrieved Qumulo Server [%s] and FileServer Credentials Username [%s]",
             hostname.c_str(), userName.c_str());

    const std::string url = FXString::Format("https://%s:%s", hostname.c_str(), kPort);
    m_cluster = CQumuloCluster(url, userName, password, kVersion);
    std::fill(password.begin(), password.end(), '\0');

    CQiError result = Configure();
    if (result.IsError()) {
      return result.Push(SNAP_LOCATION(snapfn::kInitArray), "Unable to configure the qumulo file server");
    }
    return CQiError::Success();
  });
}

CQiError CQumuloSnapClient::Configure() {
  return RunAtBoundary(snapfn::kConfigure, [&]() -> CQiError {
    // Each object is replaced in turn, so a failure part way leaves the later ones as they were.
    m_connection = boost::make_shared<Qumulo::CConnection>();
    if (!m_connection) return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kConfigure), snapcode::kNotEnoughMemory);

    CQiError result = m_connection->Connect(m_cluster.m_url, m_cluster.m_userName, m_cluster.m_password);
    if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kConfigure));

    m_parser = boost::make_shared<Qumulo::CParser>();
    if (!m_parser) return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kConfigure), snapcode::kNotEnoughMemory);

    m_fileSystemQueries = boost::make_shared<Qumulo::CFileSystemQueries>(m_connection, m_parser);
    if (!m_fileSystemQueries) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kConfigure), snapcode::kNotEnoughMemory);
    }
    m_snapshotQueries = boost::make_shared<Qumulo::CSnapshotQueries>(m_connection, m_parser);
    if (!m_snapshotQueries) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kConfigure), snapcode::kNotEnoughMemory);
    }
    m_shares = boost::make_shared<Qumulo::CShares>(m_connection, m_parser);
    if (!m_shares) return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kConfigure), snapcode::kNotEnoughMemory);
    return CQiError::Success();
  });
}
