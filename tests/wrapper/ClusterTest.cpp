// The wrapper against the emulator embedded in the test process, over real HTTPS: trust, login,
// session renewal, retries, dropped connections, malformed answers and the secrets.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <string>

#include "CapturingLogWriter.h"
#include "Connection.h"
#include "ErrorCodes.h"
#include "FileSystemQueries.h"
#include "HttpTransport.h"
#include "Parser.h"
#include "Shares.h"
#include "SnapshotQueries.h"
#include "snaptest/embedded_cluster.h"
#include "snaptest/loopback.h"

namespace Qumulo {
namespace {

constexpr uint64_t kTwoTo53 = uint64_t(1) << 53;

std::string ErrorText(const CQiError& error) { return error.ToString(); }

std::string ErrorMessages(const CQiError& error) {
  std::string text;
  for (const auto& message : error.Messages()) text += message + "\n";
  return text;
}

class WrapperClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cluster_.options.exports = {{"/projects", "/fs/projects"}, {"/", "/fs"}};
    ASSERT_TRUE(cluster_.Start()) << cluster_.error();
    ASSERT_TRUE(cluster_.MakeDir("/fs/projects/src"));
    ASSERT_TRUE(cluster_.WriteFile("/fs/projects/src/a.c", "int a;\n"));
    options_.caFile = cluster_.ca_path();
    options_.backoffMillis = 5;
  }

  // A connected connection and its query objects, as the snap client builds them.
  struct Client {
    boost::shared_ptr<CConnection> connection;
    boost::shared_ptr<CParser> parser = boost::make_shared<CParser>();
    std::unique_ptr<CFileSystemQueries> files;
    std::unique_ptr<CShares> shares;
    std::unique_ptr<CSnapshotQueries> snapshots;
  };

  Client MakeClient(const TransportOptions& options) {
    Client client;
    client.connection = boost::make_shared<CConnection>(options);
    client.files.reset(new CFileSystemQueries(client.connection, client.parser));
    client.shares.reset(new CShares(client.connection, client.parser));
    client.snapshots.reset(new CSnapshotQueries(client.connection, client.parser));
    return client;
  }

  Client Connected() {
    Client client = MakeClient(options_);
    CQiError result = client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password());
    EXPECT_FALSE(result.IsError()) << ErrorText(result);
    return client;
  }

  uint64_t DirectoryId(Client& client, const std::string& path) {
    CDirectoryEntry entry;
    CQiError result = client.files->GetFileAttributes(path, entry, 0);
    EXPECT_FALSE(result.IsError()) << ErrorText(result);
    return entry.m_fileId;
  }

  void SetFaults(const clustersim::FaultSettings& faults) { cluster_.server().SetFaults(faults); }

  snaptest::EmbeddedCluster cluster_;
  TransportOptions options_;
};

TEST_F(WrapperClusterTest, SmallJobRunsOverOneVerifiedTlsConnection) {
  cluster_.server().ResetCounters();
  Client client = Connected();

  std::list<CNFSExportEntry> exports;
  ASSERT_FALSE(client.shares->GetNFSExports(exports).IsError());
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports.front().m_exportPath, "/projects");
  EXPECT_EQ(exports.front().m_fsPath, "/fs/projects");
  EXPECT_EQ(exports.back().m_exportPath, "/");

  CDirectoryEntry entry;
  ASSERT_FALSE(client.files->GetFileAttributes("/fs/projects", entry, 0).IsError());
  EXPECT_TRUE(entry.m_isDirectory);
  EXPECT_GT(entry.m_fileId, kTwoTo53);

  CSnapshotInfo older;
  CQiError result = client.snapshots->CreateSnapshot("kwsnap_1_2_10_x", entry.m_fileId, older, "");
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  EXPECT_EQ(older.m_name, "kwsnap_1_2_10_x");
  EXPECT_EQ(older.m_sourceFileId, entry.m_fileId) << "ids above 2^53 come back exact";
  EXPECT_FALSE(older.m_directoryName.empty());

  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/src/b.c", "int b;\n"));
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/new dir"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/src/l\xe4tin1.c", "x"));  // a name that is not UTF-8
  CSnapshotInfo newer;
  ASSERT_FALSE(client.snapshots->CreateSnapshot("kwsnap_1_2_11_x", entry.m_fileId, newer, "").IsError());

  std::list<CSnapshotDiffInfo> diff;
  std::string token;
  int pages = 0;
  do {
    std::string next;
    result = client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, diff, next, token);
    ASSERT_FALSE(result.IsError()) << ErrorText(result);
    token = next;
    ++pages;
  } while (!token.empty() && pages < 100);
  std::vector<std::string> paths;
  for (const auto& item : diff) paths.push_back(item.m_path);
  EXPECT_NE(std::find(paths.begin(), paths.end(), "/fs/projects/src/b.c"), paths.end());
  EXPECT_NE(std::find(paths.begin(), paths.end(), "/fs/projects/new dir/"), paths.end());
  EXPECT_NE(std::find(paths.begin(), paths.end(), "/fs/projects/src/l\xe4tin1.c"), paths.end());

  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed.front().m_id, older.m_id);
  EXPECT_EQ(listed.back().m_id, newer.m_id);

  ASSERT_FALSE(client.snapshots->DeleteSnapshot(older.m_id).IsError());
  listed.clear();
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  ASSERT_EQ(listed.size(), 1u);

  EXPECT_EQ(cluster_.server().counters().tls_connections, 1u);
}

TEST_F(WrapperClusterTest, DiffPagesFollowTheirTokens) {
  Client client = MakeClient([&] {
    TransportOptions paged = options_;
    paged.diffPageSize = 2;
    return paged;
  }());
  ASSERT_FALSE(client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password()).IsError());
  const uint64_t id = DirectoryId(client, "/fs/projects/");
  CSnapshotInfo older, newer;
  ASSERT_FALSE(client.snapshots->CreateSnapshot("a", id, older, "").IsError());
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(cluster_.WriteFile("/fs/projects/f" + std::to_string(i), "x"));
  ASSERT_FALSE(client.snapshots->CreateSnapshot("b", id, newer, "").IsError());

  std::list<CSnapshotDiffInfo> diff;
  std::string token;
  int pages = 0;
  cluster_.server().ResetCounters();
  do {
    std::string next;
    CQiError result = client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, diff, next, token);
    ASSERT_FALSE(result.IsError()) << ErrorText(result);
    token = next;
    ++pages;
  } while (!token.empty() && pages < 100);
  EXPECT_GE(pages, 4);
  // Fetching the next page ahead costs no request of its own.
  EXPECT_EQ(cluster_.server().counters().requests, static_cast<uint64_t>(pages));
  int created = 0;
  for (const auto& item : diff) created += item.m_changeType == kSnapshotChangeCreated && !item.m_isDirectory;
  EXPECT_EQ(created, 7);

  // Another request between two pages, then a page that fails: each answer reaches the call it
  // belongs to (the page fetched ahead is dropped by the listing, so the failing page is asked
  // for only when its call comes).
  std::list<CSnapshotDiffInfo> again;
  std::string next;
  ASSERT_FALSE(client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, again, next, "").IsError());
  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_EQ(listed.size(), 2u);
  clustersim::FaultSettings failing;
  failing.fail_next = 100;
  SetFaults(failing);
  token = next;
  next.clear();
  CQiError refused = client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, again, next, token);
  EXPECT_TRUE(refused.IsError());
  cluster_.server().ClearFaults();
  EXPECT_EQ(again.size(), 2u);
  next.clear();
  ASSERT_FALSE(client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, again, next, token).IsError());
  EXPECT_EQ(again.size(), 4u);
  next.clear();
  CQiError bad = client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, diff, next, "not a token/&=");
  ASSERT_TRUE(bad.IsError());
  EXPECT_EQ(bad.Win32Code(), kErrorInvalidParameter);
}

TEST_F(WrapperClusterTest, ClusterRefusalsCarryStatusPathAndMessage) {
  Client client = Connected();
  CDirectoryEntry entry;
  CQiError missing = client.files->GetFileAttributes("/fs/projects/no such", entry, 0);
  ASSERT_TRUE(missing.IsError());
  EXPECT_EQ(missing.Win32Code(), kErrorNotFound);
  const std::string text = ErrorMessages(missing);
  EXPECT_NE(text.find("GET /v1/files/attributes?path=/fs/projects/no%20such"), std::string::npos) << text;
  EXPECT_NE(text.find("HTTP 404"), std::string::npos) << text;

  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/a b&c=d"));
  EXPECT_FALSE(client.files->GetFileAttributes("/fs/projects/a b&c=d", entry, 0).IsError());

  const uint64_t fileId = DirectoryId(client, "/fs/projects/src/a.c");
  CSnapshotInfo snapshot;
  CQiError conflict = client.snapshots->CreateSnapshot("of a file", fileId, snapshot, "");
  ASSERT_TRUE(conflict.IsError());
  EXPECT_EQ(conflict.Win32Code(), kErrorConflict);
  EXPECT_NE(ErrorMessages(conflict).find("POST /v1/snapshots"), std::string::npos);

  CQiError gone = client.snapshots->DeleteSnapshot(12345);
  ASSERT_TRUE(gone.IsError());
  EXPECT_EQ(gone.Win32Code(), kErrorNotFound);

  std::list<CSnapshotDiffInfo> diff;
  std::string next;
  EXPECT_EQ(client.snapshots->GetSnapshotDiff(0, 1, diff, next, "").Win32Code(), kErrorNotFound);

  CConnection unconnected(options_);
  HttpResponse response;
  EXPECT_EQ(unconnected.Send("GET", "/v1/snapshots", "", true, response).Win32Code(), kErrorNotConnected);
}

TEST_F(WrapperClusterTest, LoginFailuresAreClearAndBounded) {
  {
    Client client = MakeClient(options_);
    CQiError refused = client.connection->Connect(cluster_.url(), cluster_.user(), "wrong-password-1234");
    ASSERT_TRUE(refused.IsError());
    EXPECT_EQ(refused.Win32Code(), kErrorAccessDenied);
    EXPECT_NE(ErrorMessages(refused).find("login refused"), std::string::npos) << ErrorText(refused);
    EXPECT_EQ(ErrorText(refused).find("wrong-password-1234"), std::string::npos);
  }
  {
    // Nothing listens on a fresh loopback address: refused at once, not retried.
    Client client = MakeClient(options_);
    CQiError refused =
        client.connection->Connect("https://" + snaptest::PickLoopbackAddress() + ":8000", "admin", "pw");
    ASSERT_TRUE(refused.IsError());
    EXPECT_EQ(refused.Win32Code(), kErrorConnectionRefused) << ErrorText(refused);
  }
  {
    // No CA file: the system store does not know the emulator's CA.
    TransportOptions systemStore = options_;
    systemStore.caFile.clear();
    Client client = MakeClient(systemStore);
    CQiError untrusted = client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password());
    ASSERT_TRUE(untrusted.IsError());
    EXPECT_EQ(untrusted.Win32Code(), kErrorSecureFailure) << ErrorText(untrusted);
    EXPECT_NE(ErrorMessages(untrusted).find("certificate"), std::string::npos) << ErrorText(untrusted);
  }
  {
    TransportOptions missingCa = options_;
    missingCa.caFile = cluster_.state_dir() + "/no-such-ca.pem";
    Client client = MakeClient(missingCa);
    EXPECT_EQ(client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password()).Win32Code(),
              kErrorSecureFailure);
  }
  {
    Client client = MakeClient(options_);
    EXPECT_EQ(client.connection->Connect("http://" + cluster_.address() + ":8000", "admin", "pw").Win32Code(),
              kErrorInvalidParameter)
        << "credentials never travel over plain HTTP";
  }
}

TEST_F(WrapperClusterTest, InsecureModeConnectsAndWarnsAtLevelZero) {
  ScopedLogCapture capture(0);
  TransportOptions insecure;
  insecure.insecure = true;
  Client client = MakeClient(insecure);
  CQiError result = client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password());
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  std::list<CSnapshotInfo> listed;
  EXPECT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  const auto lines = capture.writer().Lines();
  ASSERT_EQ(lines.size(), 1u) << capture.writer().AllText();
  EXPECT_EQ(lines[0].level, 0);
  EXPECT_NE(lines[0].text.find("verification is switched off"), std::string::npos);
  EXPECT_NE(lines[0].text.find(cluster_.url()), std::string::npos);

  // A verified connection says nothing.
  Client verified = Connected();
  EXPECT_EQ(capture.writer().Lines().size(), 1u);
}

TEST_F(WrapperClusterTest, ExpiredSessionIsRenewedOnceMidJob) {
  ScopedLogCapture capture(1);
  Client client = Connected();
  std::list<CNFSExportEntry> exports;
  ASSERT_FALSE(client.shares->GetNFSExports(exports).IsError());

  cluster_.server().ExpireAllTokens();
  cluster_.server().ResetCounters();
  exports.clear();
  CQiError result = client.shares->GetNFSExports(exports);
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  EXPECT_EQ(exports.size(), 2u);
  EXPECT_EQ(cluster_.server().counters().requests, 3u) << "refused request, login, repeated request";
  EXPECT_NE(capture.writer().AllText().find("session expired"), std::string::npos);

  // A creation refused for its session is repeated too: the cluster did not act on it.
  clustersim::FaultSettings expire;
  expire.expire_tokens = true;
  SetFaults(expire);
  CSnapshotInfo snapshot;
  result = client.snapshots->CreateSnapshot("after expiry", DirectoryId(client, "/fs/projects"), snapshot, "");
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_EQ(listed.size(), 1u);
}

TEST_F(WrapperClusterTest, ServerTroubleIsRetriedWithinBounds) {
  Client client = Connected();
  clustersim::FaultSettings burst;
  burst.fail_next = 3;
  SetFaults(burst);
  std::list<CSnapshotInfo> listed;
  CQiError result = client.snapshots->ListSnapshots(listed);
  EXPECT_FALSE(result.IsError()) << ErrorText(result);

  for (int status : {429, 500, 503}) {
    SCOPED_TRACE(status);
    clustersim::FaultSettings endless;
    endless.fail_next = 100;
    endless.fail_status = status;
    SetFaults(endless);
    cluster_.server().ResetCounters();
    CQiError failed = client.snapshots->ListSnapshots(listed);
    ASSERT_TRUE(failed.IsError());
    EXPECT_EQ(failed.Win32Code(), status == 429 ? kErrorBusy : kErrorInternal);
    EXPECT_NE(ErrorMessages(failed).find("gave up after 4 attempts"), std::string::npos) << ErrorText(failed);
    EXPECT_NE(ErrorMessages(failed).find("HTTP " + std::to_string(status)), std::string::npos);
    EXPECT_EQ(cluster_.server().counters().requests, 4u);
  }

  // A failed creation is not repeated: one request, no snapshot.
  cluster_.server().ClearFaults();
  const uint64_t id = DirectoryId(client, "/fs/projects");
  SetFaults(burst);
  cluster_.server().ResetCounters();
  CSnapshotInfo snapshot;
  CQiError failed = client.snapshots->CreateSnapshot("refused", id, snapshot, "");
  ASSERT_TRUE(failed.IsError());
  EXPECT_EQ(failed.Win32Code(), kErrorInternal);
  EXPECT_EQ(cluster_.server().counters().requests, 1u);
  cluster_.server().ClearFaults();
  listed.clear();
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_TRUE(listed.empty());
}

TEST_F(WrapperClusterTest, DroppedConnections) {
  Client client = Connected();
  const uint64_t id = DirectoryId(client, "/fs/projects");

  clustersim::FaultSettings drop;
  drop.drop_next = 1;
  SetFaults(drop);
  std::list<CNFSExportEntry> exports;
  CQiError result = client.shares->GetNFSExports(exports);
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  EXPECT_EQ(exports.size(), 2u);

  // The creation went through and only its answer was lost: found, not made twice.
  SetFaults(drop);
  CSnapshotInfo snapshot;
  result = client.snapshots->CreateSnapshot("dropped answer", id, snapshot, "");
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  EXPECT_EQ(snapshot.m_name, "dropped answer");
  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed.front().m_id, snapshot.m_id);

  // A delete whose answer is cut off: the snapshot is gone, and the connection after it recovers.
  SetFaults(drop);
  result = client.snapshots->DeleteSnapshot(snapshot.m_id);
  EXPECT_FALSE(result.IsError()) << ErrorText(result);
  listed.clear();
  result = client.snapshots->ListSnapshots(listed);
  ASSERT_FALSE(result.IsError()) << ErrorText(result);
  EXPECT_TRUE(listed.empty());

  // Every try dropped: a clear error after the bounded attempts.
  drop.drop_next = 100;
  SetFaults(drop);
  CQiError failed = client.snapshots->ListSnapshots(listed);
  ASSERT_TRUE(failed.IsError());
  EXPECT_EQ(failed.Win32Code(), kErrorConnectionReset) << ErrorText(failed);
}

TEST_F(WrapperClusterTest, MalformedAnswersAreClearErrors) {
  Client client = Connected();
  clustersim::FaultSettings malformed;
  malformed.malformed_next = 1;
  SetFaults(malformed);
  std::list<CNFSExportEntry> exports;
  CQiError failed = client.shares->GetNFSExports(exports);
  ASSERT_TRUE(failed.IsError());
  EXPECT_EQ(failed.Win32Code(), kErrorInvalidData);
  EXPECT_NE(ErrorMessages(failed).find("GET /v1/nfs/exports"), std::string::npos) << ErrorText(failed);
  EXPECT_TRUE(exports.empty());

  // The connection serves on.
  EXPECT_FALSE(client.shares->GetNFSExports(exports).IsError());

  SetFaults(malformed);
  CDirectoryEntry entry;
  EXPECT_EQ(client.files->GetFileAttributes("/fs/projects", entry, 0).Win32Code(), kErrorInvalidData);
}

TEST_F(WrapperClusterTest, HungClusterTimesOut) {
  TransportOptions impatient = options_;
  impatient.lowSpeedTimeSeconds = 1;
  impatient.maxAttempts = 2;
  Client client = MakeClient(impatient);
  ASSERT_FALSE(client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password()).IsError());
  clustersim::FaultSettings slow;
  slow.delay_ms = 2500;
  SetFaults(slow);
  std::list<CSnapshotInfo> listed;
  CQiError failed = client.snapshots->ListSnapshots(listed);
  cluster_.server().ClearFaults();
  ASSERT_TRUE(failed.IsError());
  EXPECT_EQ(failed.Win32Code(), kErrorTimeout) << ErrorText(failed);
  EXPECT_NE(ErrorMessages(failed).find("gave up after 2 attempts"), std::string::npos);
}

TEST_F(WrapperClusterTest, SecretsAppearInNoLogLineOrError) {
  ScopedLogCapture capture(6);
  const std::string password = "S3cret-Passw0rd-xyzzy";
  cluster_.Stop();
  cluster_.options.password = password;
  ASSERT_TRUE(cluster_.Start()) << cluster_.error();

  Client client = Connected();
  // Logging in through Send leaves the answer, and so the connection's current token, readable.
  HttpResponse login;
  ASSERT_FALSE(client.connection->Send("POST", "/v1/session/login", "", true, login).IsError());
  CParser parser;
  std::string token;
  ASSERT_FALSE(parser.ParseLoginToken(login.Body(), "login", token).IsError());
  ASSERT_GE(token.size(), 8u);

  std::string texts;
  auto note = [&](const CQiError& error) { texts += ErrorText(error) + "\n"; };
  std::list<CSnapshotInfo> listed;
  clustersim::FaultSettings faults;
  faults.fail_next = 100;
  SetFaults(faults);
  note(client.snapshots->ListSnapshots(listed));
  faults = clustersim::FaultSettings();
  faults.drop_next = 100;
  SetFaults(faults);
  note(client.snapshots->ListSnapshots(listed));
  faults = clustersim::FaultSettings();
  faults.malformed_next = 1;
  SetFaults(faults);
  note(client.snapshots->ListSnapshots(listed));
  cluster_.server().ClearFaults();
  CSnapshotInfo snapshot;
  note(client.snapshots->CreateSnapshot("x", 1, snapshot, ""));
  Client wrong = MakeClient(options_);
  note(wrong.connection->Connect(cluster_.url(), cluster_.user(), password + "-wrong"));
  // The session expires and is renewed with the kept password.
  cluster_.server().ExpireAllTokens();
  note(client.snapshots->ListSnapshots(listed));

  const std::string logged = capture.writer().AllText();
  EXPECT_FALSE(logged.empty()) << "the retries above are logged";
  for (const std::string& secret : {password, token}) {
    EXPECT_EQ(texts.find(secret), std::string::npos) << texts;
    EXPECT_EQ(logged.find(secret), std::string::npos) << logged;
  }
  EXPECT_EQ(texts.find("Bearer"), std::string::npos);
  EXPECT_EQ(logged.find("Bearer"), std::string::npos);
}

}  // namespace
}  // namespace Qumulo
