// The snap client against the emulator over verified HTTPS: connecting and job initialisation,
// then whole jobs through ConfigureSnapshot, CompareSnapshots and the path map, with a mount-table
// file that maps the emulator's export to local mount points.
//
// The mount table is read once per process, so one emulator and one table serve the whole program;
// each test uses its own client id (and so its own snapshot names) and its own directories.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "KWClient.h"
#include "KwMntTab.h"
#include "TestableSnapClient.h"
#include "TransportOptions.h"
#include "snaptest/embedded_cluster.h"
#include "snaptest/temp_dir.h"

namespace {

using ::testing::HasSubstr;
const std::list<std::string> kNone;

// One emulator for the program: export /projects publishes /fs/projects; the host "mounts" it at
// <mnt>/projects (a symlink, so reads through the mount see the emulator's tree).
const snaptest::TempDir g_host("snaphost");
const std::string g_mountPoint = g_host.Sub("mnt/projects");
const std::string g_registry = g_host.Sub("registry.json");
snaptest::EmbeddedCluster* g_cluster = nullptr;

class ClusterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_cluster = new snaptest::EmbeddedCluster();
    g_cluster->options.exports = {{"/projects", "/fs/projects"}};
    ASSERT_TRUE(g_cluster->Start()) << g_cluster->error();
    ASSERT_TRUE(snaptest::MakeDirs(g_host.Sub("mnt")));
    ASSERT_EQ(::symlink(g_cluster->DiskPath("/fs/projects").c_str(), g_mountPoint.c_str()), 0);

    const std::string table = g_host.Sub("mounts");
    ASSERT_TRUE(snaptest::WriteFile(table, "/dev/sda1 / ext4 rw 0 0\n" + g_cluster->address() + ":/projects " +
                                               g_mountPoint + " nfs rw 0 0\n"));
    KwMntTab::SetTablePath(table);

    const std::string address = g_cluster->address();
    const std::string password = g_cluster->password();
    std::string clients;
    for (int id = 20; id < 40; ++id) {  // one client per test, all standing for this cluster
      clients += "{\"id\":" + std::to_string(id) + ",\"hostname\":\"" + address +
                 "\",\"fileserver\":{\"username\":\"admin\",\"password\":\"" + password + "\"}},";
    }
    clients += "{\"id\":8,\"hostname\":\"" + address + "\",\"fileserver\":{\"username\":\"admin\",\"password\":\"Nope-Secret-8\"}},";
    clients += "{\"id\":9,\"hostname\":\"" + address + "\"},";
    clients += "{\"id\":11,\"hostname\":\"" + address + "\",\"fileserver\":{\"username\":\"admin\",\"password\":\"\"}},";
    clients += "{\"id\":10,\"hostname\":\"\",\"fileserver\":{\"username\":\"admin\",\"password\":\"x\"}}";
    ASSERT_TRUE(snaptest::WriteFile(g_registry, "{\"clients\":[" + clients + "]}"));
    ASSERT_EQ(::chmod(g_registry.c_str(), 0600), 0);
    KWClient::SetRegistryPath(g_registry);

    Qumulo::TransportOptions options = Qumulo::TransportOptions::Default();
    options.caFile = g_cluster->ca_path();
    Qumulo::TransportOptions::SetDefault(options);
  }
  void TearDown() override { delete g_cluster; }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ClusterEnvironment);

using SnapClient = TestableSnapClient;

class ClusterJobTest : public ::testing::Test {
 protected:
  snaptest::EmbeddedCluster& cluster() { return *g_cluster; }
  std::string Mount(const std::string& below) { return g_mountPoint + "/" + below; }
  std::string MapFile() { return m_files.Sub("snapmap.txt"); }

  CQiError Init(SnapClient& client, ULONG clientId, LONGLONG job, LONGLONG previous,
                const ContentMapperAPIPtr& mapper = ContentMapperAPIPtr()) {
    return client.Initialize(job, clientId, 1, 2, "", "", MapFile(), previous, 0, 0, 0, mapper);
  }

  // One job on fresh object: Initialize, ConfigureSnapshot, UpdateContentMapperPaths.
  CQiError Job(SnapClient& client, ULONG clientId, LONGLONG job, LONGLONG previous, std::list<std::string> paths) {
    CQiError result = Init(client, clientId, job, previous);
    if (result.IsError()) return result;
    result = client.ConfigureSnapshot(paths, kNone, kNone);
    if (result.IsError()) return result;
    ContentMapperAPIPtr mapper;
    return client.UpdateContentMapperPaths(mapper);
  }

  std::vector<std::string> ChangeList(SnapClient& client, const std::string& path) {
    std::function<FileServerSnapshotCompareItem()> source;
    CQiError result = client.CompareSnapshots(path, path, source);
    EXPECT_FALSE(result.IsError()) << result.ToString();
    std::vector<std::string> lines;
    if (result.IsError()) return lines;
    for (;;) {
      FileServerSnapshotCompareItem item = source();
      if (item.m_changeType == kFileServerChangeEndOfList) break;
      lines.push_back(std::to_string(item.m_changeType) + (item.m_info.m_mode == 0x4000 ? " dir " : " file ") +
                      item.m_path + (item.m_newDirectory ? " newdir" : ""));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  snaptest::TempDir m_files{"snapjob"};
};

TEST_F(ClusterJobTest, InitializeConnectsOverVerifiedTls) {
  SnapClient client;
  ScopedLogCapture log(0);
  CQiError result = Init(client, 20, 10, 9);
  ASSERT_FALSE(result.IsError()) << result.ToString();
  EXPECT_TRUE(client.IsInitialized());
  EXPECT_EQ(client.m_snapshotPrefix, "kwsnap_20_2");
  EXPECT_TRUE(log->Contains("Retrieved Qumulo Server [" + cluster().address() +
                            "] and FileServer Credentials Username [admin]"));
  EXPECT_EQ(log->AllText().find(cluster().password()), std::string::npos);
}

TEST_F(ClusterJobTest, InitializeFailuresLeaveTheObjectUninitialised) {
  {
    SnapClient client;
    CQiError result = Init(client, 0, 10, 9);
    EXPECT_EQ(result.Win32Code(), 160u);
    EXPECT_EQ(result.Messages(), std::vector<std::string>{"The Client ID is not set"});
    EXPECT_EQ(result.LocationStack().size(), 2u);  // InitArray, then Initialize
    EXPECT_FALSE(client.IsInitialized());
  }
  struct Case {
    ULONG clientId;
    const char* message;
  } cases[] = {{77, "Unable to retrieve Qumulo Server Hostname"},           // not in the registry
               {10, "Unable to retrieve Qumulo Server Hostname"},           // empty host name
               {9, "Unable to retrieve Qumulo File server credentials"},    // no properties at all
               {21, "Unable to retrieve Qumulo File server credentials"}};  // a registry others may read
  for (const Case& c : cases) {
    ASSERT_EQ(::chmod(g_registry.c_str(), c.clientId == 21 ? 0644 : 0600), 0);
    SnapClient client;
    CQiError result = Init(client, c.clientId, 10, 9);
    EXPECT_EQ(result.Win32Code(), 774u) << c.clientId;
    EXPECT_EQ(result.Messages().front(), c.message) << c.clientId;
    EXPECT_FALSE(client.IsInitialized());
  }
  ::chmod(g_registry.c_str(), 0600);
  // An empty password is no missing credential: it goes to the cluster, which refuses it.
  SnapClient emptyPassword;
  CQiError refused = Init(emptyPassword, 11, 10, 9);
  EXPECT_EQ(refused.Win32Code(), 5u) << refused.ToString();
  EXPECT_THAT(refused.ToString(), HasSubstr("(login refused)"));
}

TEST_F(ClusterJobTest, WrongPasswordReadsBottomUpFromConnect) {
  SnapClient client;
  CQiError result = Init(client, 8, 10, 9);
  ASSERT_TRUE(result.IsError());
  std::vector<std::string> stack = result.LocationStack();
  // Connect's own frames first, then Configure, InitArray with its message, Initialize.
  ASSERT_GE(stack.size(), 4u) << result.ToString();
  const size_t n = stack.size();
  EXPECT_THAT(stack[0], HasSubstr("KwQumuloSDKWrapper"));
  EXPECT_THAT(stack[n - 3], HasSubstr("CQiError CQumuloSnapClient::Configure()"));
  EXPECT_THAT(stack[n - 2], HasSubstr("virtual CQiError CQumuloSnapClient::InitArray(ULONG)"));
  EXPECT_THAT(stack[n - 2], HasSubstr("Unable to configure the qumulo file server"));
  EXPECT_THAT(stack[n - 1], HasSubstr("Initialize"));
  EXPECT_EQ(result.Win32Code(), 5u);
  EXPECT_EQ(result.ToString().find("Nope-Secret-8"), std::string::npos);
  EXPECT_FALSE(client.IsInitialized());
}

TEST_F(ClusterJobTest, ContentMapperOfAnotherKindFailsAfterConnecting) {
  SnapClient client;
  CQiError result = Init(client, 22, 10, 9, boost::make_shared<OtherMapper>());
  EXPECT_EQ(result.Win32Code(), 160u);
  EXPECT_EQ(result.Messages().front(), "Dynamic cast failed for ContentMapper");
  EXPECT_FALSE(client.IsInitialized());

  auto mapper = boost::make_shared<CContentMapper>();
  std::map<std::string, std::string> paths{{"/scan/", "/read/"}};
  mapper->SetPathMap(paths);
  SnapClient second;
  ASSERT_FALSE(Init(second, 22, 10, 9, mapper).IsError());
  paths["/later/"] = "/x/";
  mapper->SetPathMap(paths);
  EXPECT_EQ(second.m_contentMapperPaths.size(), 1u);  // a copy taken at initialisation

  // No mapper leaves the paths as they were; a mapper with an empty map empties them.
  ASSERT_FALSE(Init(second, 22, 10, 9).IsError());
  EXPECT_EQ(second.m_contentMapperPaths.size(), 1u);
  ASSERT_FALSE(Init(second, 22, 10, 9, boost::make_shared<CContentMapper>()).IsError());
  EXPECT_TRUE(second.m_contentMapperPaths.empty());
}

// Every kind of change, the map file's bytes and reads through it are checked end to end through
// snapjob; here, two backup paths in one job over one connection, and a directory replaced between jobs.
TEST_F(ClusterJobTest, ThreeJobsSnapshotCompareAndCleanUp) {
  for (const char* dir : {"/fs/projects/alpha", "/fs/projects/beta"}) ASSERT_TRUE(cluster().MakeDir(dir));
  ASSERT_TRUE(cluster().WriteFile("/fs/projects/alpha/a.txt", "version 1\n"));
  const std::string alpha = Mount("alpha");
  const std::string beta = Mount("beta");
  {
    SnapClient job;
    ASSERT_FALSE(Job(job, 23, 10, 9, {alpha, beta}).IsError());
  }
  ASSERT_TRUE(cluster().WriteFile("/fs/projects/alpha/a.txt", "version 2, longer\n"));
  ASSERT_TRUE(cluster().MakeDir("/fs/projects/alpha/sub"));

  // Job 11 compares each path with its own job 10 snapshot, all of it over one connection.
  {
    SnapClient job;
    cluster().server().ResetCounters();
    ASSERT_FALSE(Job(job, 23, 11, 10, {alpha, beta}).IsError());
    EXPECT_EQ(ChangeList(job, alpha),
              (std::vector<std::string>{"1 dir " + alpha + "/sub newdir", "2 dir " + alpha, "2 file " + alpha + "/a.txt"}));
    EXPECT_TRUE(ChangeList(job, beta).empty());
    EXPECT_EQ(cluster().server().counters().tls_connections, 1u);
  }

  // Beta is replaced by a new directory before job 12: nothing to compare it with, so all of it
  // is new.
  ASSERT_TRUE(snaptest::RemoveAll(cluster().DiskPath("/fs/projects/beta")));
  ASSERT_TRUE(cluster().MakeDir("/fs/projects/beta"));
  {
    SnapClient job;
    ASSERT_FALSE(Job(job, 23, 12, 11, {alpha, beta}).IsError());
    EXPECT_TRUE(job.m_exports.front().m_runSnapDiffScan);
    EXPECT_EQ(ChangeList(job, beta), std::vector<std::string>{"1 dir " + beta + " newdir"});
  }
}

}  // namespace
