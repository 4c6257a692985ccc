// The wrapper against the emulator embedded in the test process, over real HTTPS: trust (CA file
// or pinned key), proxies, login, session renewal, retries, dropped connections, malformed answers,
// the first job's difference, and the secrets. Names that are not UTF-8 are the parser's test at this
// layer, and go through the wrapper and the emulator together in the end-to-end jobs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "CapturingLogWriter.h"
#include "ErrorCodes.h"
#include "HttpTransport.h"
#include "Parser.h"
#include "TunnelProxy.h"
#include "WrapperClient.h"
#include "snaptest/embedded_cluster.h"
#include "snaptest/loopback.h"

namespace Qumulo {
namespace {

using ::testing::HasSubstr;
using wrappertest::ErrorMessages;

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

  using Client = wrappertest::WrapperClient;
  Client MakeClient(const TransportOptions& options) { return Client(options); }

  Client Connected(const TransportOptions& options) {
    Client client = MakeClient(options);
    CQiError result = client.connection->Connect(cluster_.url(), cluster_.user(), cluster_.password());
    EXPECT_FALSE(result.IsError()) << result.ToString();
    return client;
  }
  Client Connected() { return Connected(options_); }

  uint64_t DirectoryId(Client& client, const std::string& path) {
    CDirectoryEntry entry;
    CQiError result = client.files->GetFileAttributes(path, entry, 0);
    EXPECT_FALSE(result.IsError()) << result.ToString();
    return entry.m_fileId;
  }

  // Follows every page token; returns the number of pages.
  int FetchDiff(Client& client, uint64_t older, uint64_t newer, std::list<CSnapshotDiffInfo>& diff) {
    std::string token;
    int pages = 0;
    do {
      std::string next;
      CQiError result = client.snapshots->GetSnapshotDiff(older, newer, diff, next, token);
      EXPECT_FALSE(result.IsError()) << result.ToString();
      if (result.IsError()) break;
      token = next;
      ++pages;
    } while (!token.empty() && pages < 100);
    return pages;
  }

  template <typename Edit>
  void SetFaults(Edit edit) {
    clustersim::FaultSettings faults;
    edit(faults);
    cluster_.server().SetFaults(faults);
  }

  snaptest::EmbeddedCluster cluster_;
  TransportOptions options_;
};

// Deletion runs in the background on the cluster: a snapshot on its way out is gone for the caller,
// and deleting it again, or one the cluster no longer knows, succeeds.
// A cluster past the deprecation of the v2 snapshot routes, and an older one without the v3 ones:
// the same job, our names and the image directories alike. The missing v3 routes are found once;
// an unknown snapshot is no missing route.
TEST_F(WrapperClusterTest, SmallJobRunsOverOneVerifiedTlsConnection) {
  for (clustersim::SnapshotApi api : {clustersim::SnapshotApi::kV3, clustersim::SnapshotApi::kV2}) {
    SCOPED_TRACE(api == clustersim::SnapshotApi::kV3 ? "v3 only" : "v2 only");
    cluster_.options.snapshot_api = api;
    ASSERT_TRUE(cluster_.Restart()) << cluster_.error();
    cluster_.server().ResetCounters();
    ScopedLogCapture capture(1);
    Client client = Connected();
    std::list<CNFSExportEntry> exports;
    ASSERT_FALSE(client.shares->GetNFSExports(exports).IsError());
    EXPECT_EQ(exports.size(), 2u);
    const uint64_t id = DirectoryId(client, "/fs/projects");
    EXPECT_GT(id, uint64_t(1) << 53);

    CSnapshotInfo kept, deleted;
    CQiError result = client.snapshots->CreateSnapshot("kwsnap_1_2_10_x", id, kept, "");
    ASSERT_FALSE(result.IsError()) << result.ToString();
    EXPECT_EQ(kept.m_name, "kwsnap_1_2_10_x");
    EXPECT_EQ(kept.m_directoryName, std::to_string(kept.m_id) + "_kwsnap_1_2_10_x");
    EXPECT_EQ(kept.m_sourceFileId, id) << "ids above 2^53 come back exact";
    ASSERT_FALSE(client.snapshots->CreateSnapshot("deleted", id, deleted, "").IsError());
    ASSERT_FALSE(client.snapshots->DeleteSnapshot(deleted.m_id).IsError());
    EXPECT_FALSE(client.snapshots->DeleteSnapshot(12345).IsError());
    std::list<CSnapshotInfo> listed;
    ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.front().m_id, kept.m_id);
    EXPECT_EQ(listed.front().m_name, "kwsnap_1_2_10_x");
    EXPECT_EQ(listed.front().m_sourceFileId, id);
    EXPECT_FALSE(client.snapshots->DeleteSnapshot(deleted.m_id).IsError());
    ASSERT_FALSE(client.snapshots->DeleteSnapshot(kept.m_id).IsError());
    EXPECT_EQ(cluster_.server().counters().tls_connections, 1u);
    const std::vector<std::string> lines = capture->Texts();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("no /v3/snapshots/ routes") != line.npos; }),
              api == clustersim::SnapshotApi::kV2 ? 1 : 0);
  }
}

TEST_F(WrapperClusterTest, DiffPagesFollowTheirTokens) {
  TransportOptions paged = options_;
  paged.diffPageSize = 2;
  Client client = Connected(paged);
  const uint64_t id = DirectoryId(client, "/fs/projects/");
  CSnapshotInfo older, newer;
  ASSERT_FALSE(client.snapshots->CreateSnapshot("a", id, older, "").IsError());
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(cluster_.WriteFile("/fs/projects/f" + std::to_string(i), "x"));
  ASSERT_FALSE(client.snapshots->CreateSnapshot("b", id, newer, "").IsError());

  std::list<CSnapshotDiffInfo> diff;
  cluster_.server().ResetCounters();
  const int pages = FetchDiff(client, older.m_id, newer.m_id, diff);
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
  std::string token, next;
  ASSERT_FALSE(client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, again, token, "").IsError());
  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_EQ(listed.size(), 2u);
  SetFaults([](auto& f) { f.fail_next = 100; });
  EXPECT_TRUE(client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, again, next, token).IsError());
  cluster_.server().ClearFaults();
  EXPECT_EQ(again.size(), 2u);
  next.clear();
  ASSERT_FALSE(client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, again, next, token).IsError());
  EXPECT_EQ(again.size(), 4u);
  // A link to another host is refused before anything is sent: the bearer token goes nowhere else.
  cluster_.server().ResetCounters();
  for (const char* link : {"https://127.0.0.1:8000/v2/snapshots/", "//127.0.0.1:8000/v2/snapshots/", "v2/x"}) {
    next.clear();
    CQiError bad = client.snapshots->GetSnapshotDiff(older.m_id, newer.m_id, diff, next, link);
    EXPECT_EQ(bad.Win32Code(), kErrorInvalidParameter) << link;
    EXPECT_THAT(ErrorMessages(bad), HasSubstr("not a relative URI"));
  }
  EXPECT_EQ(cluster_.server().counters().requests, 0u);
}

// No previous snapshot: no difference is asked for; the one page says that the whole directory is new.
TEST_F(WrapperClusterTest, FirstJobsDifferenceIsTheWholeDirectory) {
  Client client = Connected();
  CSnapshotInfo snapshot;
  ASSERT_FALSE(client.snapshots->CreateSnapshot("first", DirectoryId(client, "/fs/projects"), snapshot, "").IsError());
  cluster_.server().ResetCounters();
  std::list<CSnapshotDiffInfo> page;
  std::string next = "stale";
  CQiError result = client.snapshots->GetSnapshotDiff(0, snapshot.m_id, page, next, "");
  ASSERT_FALSE(result.IsError()) << result.ToString();
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page.front().m_path, "/fs/projects/");
  EXPECT_EQ(page.front().m_changeType, kSnapshotChangeCreated);
  EXPECT_TRUE(page.front().m_isDirectory);
  EXPECT_EQ(next, "");
  EXPECT_EQ(cluster_.server().counters().requests, 2u) << "the snapshot and its directory, no difference";

  EXPECT_EQ(client.snapshots->GetSnapshotDiff(0, snapshot.m_id + 100, page, next, "").Win32Code(), kErrorNotFound);
  EXPECT_EQ(page.size(), 1u);
}

TEST_F(WrapperClusterTest, ClusterRefusalsCarryStatusPathAndMessage) {
  Client client = Connected();
  CDirectoryEntry entry;
  CQiError missing = client.files->GetFileAttributes("/fs/projects/no such", entry, 0);
  EXPECT_EQ(missing.Win32Code(), kErrorNotFound);
  EXPECT_THAT(ErrorMessages(missing),
              HasSubstr("GET /v1/files/%2Ffs%2Fprojects%2Fno%20such/info/attributes: Error 404: fs_no_such_entry_error: "));

  // Characters that a query would otherwise read as syntax reach the cluster as they are.
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/a b&c=d+e%f"));
  EXPECT_FALSE(client.files->GetFileAttributes("/fs/projects/a b&c=d+e%f", entry, 0).IsError());

  CSnapshotInfo snapshot;
  CQiError ofAFile = client.snapshots->CreateSnapshot("of a file", DirectoryId(client, "/fs/projects/src/a.c"),
                                                      snapshot, "");
  EXPECT_TRUE(ofAFile.IsError());
  EXPECT_THAT(ErrorMessages(ofAFile), HasSubstr("POST /v3/snapshots/: Error 4"));

  CConnection unconnected(options_);
  HttpResponse response;
  EXPECT_EQ(unconnected.Send("GET", "/v2/snapshots/", "", true, response).Win32Code(), kErrorNotConnected);
}

TEST_F(WrapperClusterTest, LoginFailuresAreClearAndBounded) {
  Client wrong = MakeClient(options_);
  CQiError refused = wrong.connection->Connect(cluster_.url(), cluster_.user(), "wrong-password-1234");
  EXPECT_EQ(refused.Win32Code(), kErrorAccessDenied);
  EXPECT_THAT(ErrorMessages(refused), HasSubstr("login refused"));

  // Nothing listens on a fresh loopback address.
  Client nowhere = MakeClient(options_);
  CQiError absent = nowhere.connection->Connect("https://" + snaptest::PickLoopbackAddress() + ":8000", "admin", "pw");
  EXPECT_EQ(absent.Win32Code(), kErrorConnectionRefused) << absent.ToString();

  TransportOptions missingCa = options_;
  missingCa.caFile = cluster_.state_dir() + "/no-such-ca.pem";
  EXPECT_EQ(MakeClient(missingCa).connection->Connect(cluster_.url(), cluster_.user(), cluster_.password()).Win32Code(),
            kErrorSecureFailure);
  EXPECT_EQ(MakeClient(options_).connection->Connect("http://" + cluster_.address() + ":8000", "admin", "pw").Win32Code(),
            kErrorInvalidParameter)
      << "credentials never travel over plain HTTP";
}

// A self-signed cluster is trusted through its key, without a CA file and without switching
// verification off; a key that does not match fails the connection, CA file or not.
TEST_F(WrapperClusterTest, PinnedKeyStandsInForTheCaChain) {
  TransportOptions pinned;
  pinned.pinnedPublicKey = cluster_.server().pin();
  ASSERT_EQ(pinned.pinnedPublicKey.compare(0, 8, "sha256//"), 0) << pinned.pinnedPublicKey;
  Client client = Connected(pinned);
  std::list<CSnapshotInfo> listed;
  EXPECT_FALSE(client.snapshots->ListSnapshots(listed).IsError());

  TransportOptions other = pinned;
  other.pinnedPublicKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  for (const std::string& caFile : {std::string(), cluster_.ca_path()}) {
    other.caFile = caFile;
    CQiError refused = MakeClient(other).connection->Connect(cluster_.url(), cluster_.user(), cluster_.password());
    EXPECT_EQ(refused.Win32Code(), kErrorSecureFailure) << refused.ToString();
    EXPECT_THAT(ErrorMessages(refused), HasSubstr("pinned"));
  }
}

// A cluster on the local network reached through a stray proxy variable is a misroute: the
// variables are ignored, and only a proxy the options name is used.
TEST_F(WrapperClusterTest, OnlyAnExplicitProxyIsUsed) {
  wrappertest::TunnelProxy proxy;
  ASSERT_TRUE(proxy.Start());
  const char* const variables[] = {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
  for (const char* variable : variables) ::setenv(variable, proxy.url().c_str(), 1);
  {
    Client direct = Connected();
    std::list<CSnapshotInfo> listed;
    EXPECT_FALSE(direct.snapshots->ListSnapshots(listed).IsError());
  }
  for (const char* variable : variables) ::unsetenv(variable);
  EXPECT_TRUE(proxy.targets().empty());

  TransportOptions throughProxy = options_;
  throughProxy.proxy = proxy.url();
  Client tunneled = Connected(throughProxy);
  std::list<CSnapshotInfo> listed;
  EXPECT_FALSE(tunneled.snapshots->ListSnapshots(listed).IsError());
  EXPECT_EQ(proxy.targets(), std::vector<std::string>{cluster_.address() + ":8000"});
}

TEST_F(WrapperClusterTest, InsecureModeConnectsAndWarnsAtLevelZero) {
  ScopedLogCapture capture(0);
  TransportOptions insecure;
  insecure.insecure = true;
  Client client = Connected(insecure);
  std::list<CSnapshotInfo> listed;
  EXPECT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  const auto lines = capture->Lines();
  ASSERT_EQ(lines.size(), 1u) << capture->AllText();
  EXPECT_EQ(lines[0].level, 0);
  EXPECT_THAT(lines[0].text, HasSubstr("verification is switched off"));
  EXPECT_THAT(lines[0].text, HasSubstr(cluster_.url()));

  // A verified connection says nothing.
  Client verified = Connected();
  EXPECT_EQ(capture->Lines().size(), 1u);
}

TEST_F(WrapperClusterTest, ExpiredSessionIsRenewedOnceMidJob) {
  ScopedLogCapture capture(1);
  Client client = Connected();
  cluster_.server().ExpireAllTokens();
  cluster_.server().ResetCounters();
  std::list<CNFSExportEntry> exports;
  CQiError result = client.shares->GetNFSExports(exports);
  ASSERT_FALSE(result.IsError()) << result.ToString();
  EXPECT_EQ(exports.size(), 2u);
  EXPECT_EQ(cluster_.server().counters().requests, 3u) << "refused request, login, repeated request";
  EXPECT_TRUE(capture->AnyContains("session expired"));

  // A creation refused for its session is repeated too: the cluster did not act on it.
  SetFaults([](auto& f) { f.expire_tokens = true; });
  CSnapshotInfo snapshot;
  result = client.snapshots->CreateSnapshot("after expiry", DirectoryId(client, "/fs/projects"), snapshot, "");
  ASSERT_FALSE(result.IsError()) << result.ToString();
  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_EQ(listed.size(), 1u);
}

TEST_F(WrapperClusterTest, ServerTroubleIsRetriedWithinBounds) {
  Client client = Connected();
  SetFaults([](auto& f) { f.fail_next = 3; });
  std::list<CSnapshotInfo> listed;
  EXPECT_FALSE(client.snapshots->ListSnapshots(listed).IsError());

  for (int status : {429, 500, 503}) {
    SCOPED_TRACE(status);
    SetFaults([status](auto& f) {
      f.fail_next = 100;
      f.fail_status = status;
    });
    cluster_.server().ResetCounters();
    CQiError failed = client.snapshots->ListSnapshots(listed);
    EXPECT_EQ(failed.Win32Code(), status == 429 ? kErrorBusy : kErrorInternal);
    EXPECT_THAT(ErrorMessages(failed), HasSubstr("gave up after 4 attempts"));
    EXPECT_THAT(ErrorMessages(failed), HasSubstr("Error " + std::to_string(status)));
    EXPECT_EQ(cluster_.server().counters().requests, 4u);
  }

  // A failed creation is not repeated: one request, no snapshot.
  cluster_.server().ClearFaults();
  const uint64_t id = DirectoryId(client, "/fs/projects");
  SetFaults([](auto& f) { f.fail_next = 3; });
  cluster_.server().ResetCounters();
  CSnapshotInfo snapshot;
  EXPECT_EQ(client.snapshots->CreateSnapshot("refused", id, snapshot, "").Win32Code(), kErrorInternal);
  EXPECT_EQ(cluster_.server().counters().requests, 1u);
  cluster_.server().ClearFaults();
  listed.clear();
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_TRUE(listed.empty());
}

TEST_F(WrapperClusterTest, DroppedConnections) {
  Client client = Connected();
  const uint64_t id = DirectoryId(client, "/fs/projects");
  auto dropNext = [](auto& f) { f.drop_next = 1; };
  // The creation went through and only its answer was lost: found, not made twice.
  SetFaults(dropNext);
  CSnapshotInfo snapshot;
  CQiError result = client.snapshots->CreateSnapshot("dropped answer", id, snapshot, "");
  ASSERT_FALSE(result.IsError()) << result.ToString();
  EXPECT_EQ(snapshot.m_name, "dropped answer");
  std::list<CSnapshotInfo> listed;
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed.front().m_id, snapshot.m_id);

  // A delete whose answer is cut off: the snapshot is gone, and the connection after it recovers.
  SetFaults(dropNext);
  EXPECT_FALSE(client.snapshots->DeleteSnapshot(snapshot.m_id).IsError());
  listed.clear();
  ASSERT_FALSE(client.snapshots->ListSnapshots(listed).IsError());
  EXPECT_TRUE(listed.empty());

  // Every try dropped: a clear error after the bounded attempts.
  SetFaults([](auto& f) { f.drop_next = 100; });
  CQiError failed = client.snapshots->ListSnapshots(listed);
  EXPECT_EQ(failed.Win32Code(), kErrorConnectionReset) << failed.ToString();
}

TEST_F(WrapperClusterTest, MalformedAnswersAreClearErrors) {
  Client client = Connected();
  SetFaults([](auto& f) { f.malformed_next = 1; });
  std::list<CNFSExportEntry> exports;
  CQiError failed = client.shares->GetNFSExports(exports);
  EXPECT_EQ(failed.Win32Code(), kErrorInvalidData);
  EXPECT_THAT(ErrorMessages(failed), HasSubstr("GET /v2/nfs/exports/"));
  EXPECT_TRUE(exports.empty());
  // The connection serves on.
  EXPECT_FALSE(client.shares->GetNFSExports(exports).IsError());
}

TEST_F(WrapperClusterTest, SecretsAppearInNoLogLineOrError) {
  ScopedLogCapture capture(6);
  const std::string password = "S3cret-Passw0rd-xyzzy";
  cluster_.Stop();
  cluster_.options.password = password;
  ASSERT_TRUE(cluster_.Start()) << cluster_.error();

  Client client = Connected();
  // The login answer carries the token: it is wiped as soon as it is read. (That no token reaches
  // a log line or an error is checked against the hostile cluster, whose token is known.)
  HttpResponse login;
  ASSERT_FALSE(client.connection->Send("POST", "/v1/session/login", "", true, login).IsError());
  ASSERT_FALSE(login.Body().empty());
  EXPECT_EQ(login.Body().find_first_not_of('\0'), std::string::npos) << login.Body();

  std::string texts;
  auto note = [&](const CQiError& error) { texts += error.ToString() + "\n"; };
  std::list<CSnapshotInfo> listed;
  SetFaults([](auto& f) { f.fail_next = 100; });
  note(client.snapshots->ListSnapshots(listed));
  SetFaults([](auto& f) { f.drop_next = 100; });
  note(client.snapshots->ListSnapshots(listed));
  SetFaults([](auto& f) { f.malformed_next = 1; });
  note(client.snapshots->ListSnapshots(listed));
  cluster_.server().ClearFaults();
  CSnapshotInfo snapshot;
  note(client.snapshots->CreateSnapshot("x", 1, snapshot, ""));
  note(MakeClient(options_).connection->Connect(cluster_.url(), cluster_.user(), password + "-wrong"));
  // The session expires and is renewed with the kept password.
  cluster_.server().ExpireAllTokens();
  note(client.snapshots->ListSnapshots(listed));

  const std::string logged = capture->AllText();
  EXPECT_FALSE(logged.empty()) << "the retries above are logged";
  for (const std::string& secret : {password, std::string("Bearer")}) {
    EXPECT_EQ(texts.find(secret), std::string::npos) << texts;
    EXPECT_EQ(logged.find(secret), std::string::npos) << logged;
  }
}

}  // namespace
}  // namespace Qumulo
