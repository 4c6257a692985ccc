// Snapshot naming, creation, reconciliation and cleanup against an in-memory cluster.

#include <list>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "FileShareAutoMount.h"
#include "TestableSnapClient.h"

namespace {

const std::list<std::string> kNone;

// Backup paths reach the cluster through the auto-mount converter here, which keeps these tests
// clear of the process-wide mount-table cache (its own tests cover it).
class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FileShareAutoMount::SetAutoMountRoot("/am");
    cluster.AddExport("/projects", "/fs/projects");
    cluster.directories["/fs/projects/p1/"] = 11;
    cluster.directories["/fs/projects/p2/"] = 22;
    cluster.directories["/fs/projects/p3/"] = 33;
  }

  // Runs ConfigureSnapshot for one job on a fresh object, as the agent would.
  CQiError RunJob(TestableSnapClient& client, LONGLONG job, LONGLONG previous, std::list<std::string> paths) {
    client.Connect(cluster, 1, 2, job, previous);
    client.m_useContentMapper = true;
    return client.ConfigureSnapshot(paths, kNone, kNone);
  }

  FakeCluster cluster;
  const std::string p1 = "/am/srv/projects/p1";
  const std::string p2 = "/am/srv/projects/p2";
  const std::string p3 = "/am/srv/projects/p3";
};

TEST_F(LifecycleTest, ThreeJobsInARowKeepTheLastTwoAndFindTheirPredecessors) {
  {
    ScopedLogCapture log(0);
    TestableSnapClient job10;
    ASSERT_FALSE(RunJob(job10, 10, 9, {p1, p2}).IsError());
    EXPECT_TRUE(log->Contains(
        "Previous snapshot [kwsnap_1_2_9_11] not found in qumulo cluster. Disabling snapshot comparison for this "
        "path : /am/srv/projects/p1/"));
    for (const auto& info : job10.m_exports) {
      EXPECT_FALSE(info.m_runSnapDiffScan);
      EXPECT_EQ(info.m_prevSnapshotId, 0u);
    }
  }
  TestableSnapClient job11;
  ASSERT_FALSE(RunJob(job11, 11, 10, {p1, p2}).IsError());
  TestableSnapClient job12;
  ASSERT_FALSE(RunJob(job12, 12, 11, {p1, p2}).IsError());

  for (TestableSnapClient* job : {&job11, &job12}) {
    ASSERT_EQ(job->m_exports.size(), 2u);
    for (const auto& info : job->m_exports) {
      EXPECT_TRUE(info.m_runSnapDiffScan) << info.m_backupPath;
      EXPECT_NE(info.m_prevSnapshotId, 0u);
    }
  }
  EXPECT_EQ(job12.m_exports.front().m_prevSnapshotName, "kwsnap_1_2_11_11");
  EXPECT_EQ(cluster.SnapshotNames(),
            (std::vector<std::string>{"kwsnap_1_2_11_11", "kwsnap_1_2_11_22", "kwsnap_1_2_12_11", "kwsnap_1_2_12_22"}));
}

TEST_F(LifecycleTest, ForeignAndHandMadeSnapshotsAreNeverTouched) {
  cluster.AddSnapshot("kwsnap_1_23_5_11", 11);  // application 23 shares the leading digit of 2
  cluster.AddSnapshot("nightly kwsnap_1_2_5_11", 11);
  cluster.AddSnapshot("before-upgrade", 11);
  cluster.AddSnapshot("kwsnap_1_2_123_11", 11);  // job 123 is stale for job 12, not a job 12 snapshot
  // The previous job's name, but taken of another directory: neither compared with nor deleted.
  cluster.AddSnapshot("kwsnap_1_2_11_11", 999);
  TestableSnapClient job;
  ASSERT_FALSE(RunJob(job, 12, 11, {p1}).IsError());
  EXPECT_FALSE(job.m_exports.front().m_runSnapDiffScan);
  EXPECT_EQ(cluster.SnapshotNames(),
            (std::vector<std::string>{"kwsnap_1_23_5_11", "nightly kwsnap_1_2_5_11", "before-upgrade",
                                      "kwsnap_1_2_11_11", "kwsnap_1_2_12_11"}));
}

// The previous job's snapshots that this job finds no use for stay: of a replaced directory, and of
// a path no longer in the job.
TEST_F(LifecycleTest, ReplacedDirectoryOrADroppedPathKeepsThePreviousJobsSnapshot) {
  TestableSnapClient first;
  ASSERT_FALSE(RunJob(first, 11, 10, {p1, p2}).IsError());
  cluster.directories["/fs/projects/p1/"] = 12345;  // removed and made again
  TestableSnapClient second;
  ASSERT_FALSE(RunJob(second, 12, 11, {p1}).IsError());
  EXPECT_FALSE(second.m_exports.front().m_runSnapDiffScan);
  EXPECT_EQ(second.m_exports.front().m_snapshotName, "kwsnap_1_2_12_12345");
  EXPECT_EQ(cluster.SnapshotNames(),
            (std::vector<std::string>{"kwsnap_1_2_11_11", "kwsnap_1_2_11_22", "kwsnap_1_2_12_12345"}));
}

TEST_F(LifecycleTest, FailingPathStopsTheJobAfterKeepingWhatWasDone) {
  TestableSnapClient job;
  const std::string unexported = "/am/srv/elsewhere/x";
  CQiError result = RunJob(job, 12, 11, {p1, unexported, p3});
  ASSERT_EQ(result.Win32Code(), 774u);  // its message is the export lookup's test
  ASSERT_EQ(job.m_exports.size(), 1u);
  EXPECT_EQ(job.m_exports.front().m_backupPath, p1 + "/");
  EXPECT_EQ(cluster.createdNames, (std::vector<std::string>{"kwsnap_1_2_12_11"}));
  EXPECT_EQ(cluster.exportQueries, 2);  // the third path is never looked at
  EXPECT_TRUE(job.m_snapshots.empty());  // no reconciliation
  // The stack reads from the lookup up through ConfigureSnapshot.
  std::vector<std::string> stack = result.LocationStack();
  ASSERT_EQ(stack.size(), 2u);
  EXPECT_NE(stack[0].find("GetExportInfo"), std::string::npos);
  EXPECT_NE(stack[1].find("ConfigureSnapshot"), std::string::npos);

  // A creation that fails leaves no entry for its path.
  cluster.failCreateAfter = 1;
  TestableSnapClient failed;
  ASSERT_TRUE(RunJob(failed, 13, 12, {p1, p2}).IsError());
  EXPECT_EQ(failed.m_exports.size(), 1u);
  EXPECT_EQ(failed.m_contentMapperPaths.count(p2 + "/"), 0u);
  EXPECT_EQ(failed.m_fileSystemPaths.count(p2 + "/"), 0u);
}

// A path named twice, in one call or in a second one, gets one snapshot per job; each backup path
// records its snapshot path (below the agent's own mapping, if it has one) and its cluster path.
// The log shows the name the cluster returned; the record keeps the one asked for.
TEST_F(LifecycleTest, EachBackupPathGetsOneSnapshotAndRecordsItsPaths) {
  cluster.createdNamePrefix = "as-stored-";
  TestableSnapClient job;
  job.Connect(cluster, 1, 2, 12, 11);
  job.m_useContentMapper = true;
  job.m_contentMapperPaths[p2 + "/"] = "/agent/p2";  // from the agent's content mapper
  job.m_fileSystemPaths[p2 + "/"] = "/kept/";        // an earlier non-empty entry stays
  ScopedLogCapture log(0);
  std::list<std::string> paths{p1 + "/", p2, p1};
  ASSERT_FALSE(job.ConfigureSnapshot(paths, kNone, kNone).IsError());
  std::list<std::string> again{p1, p2};
  ASSERT_FALSE(job.ConfigureSnapshot(again, kNone, kNone).IsError());
  std::vector<std::string> ownLines;
  for (const auto& line : log->Lines()) {
    if (line.function.find("ConfigureSnapshot") != std::string::npos) ownLines.push_back(line.text);
  }
  EXPECT_EQ(ownLines, (std::vector<std::string>{"Created Snapshot as-stored-kwsnap_1_2_12_11",
                                                "Created Snapshot as-stored-kwsnap_1_2_12_22"}));
  EXPECT_EQ(job.m_exports.front().m_snapshotName, "kwsnap_1_2_12_11");
  EXPECT_EQ(cluster.createdNames, (std::vector<std::string>{"kwsnap_1_2_12_11", "kwsnap_1_2_12_22"}));
  ASSERT_EQ(job.m_exports.size(), 2u);
  const auto& created = cluster.snapshots;
  EXPECT_EQ(job.m_contentMapperPaths[p1 + "/"], p1 + "/.snapshot/" + created.front().m_directoryName);
  EXPECT_EQ(job.m_contentMapperPaths[p2 + "/"], "/agent/p2/.snapshot/" + created.back().m_directoryName);
  EXPECT_EQ(job.m_fileSystemPaths[p1 + "/"], "/fs/projects/p1/");
  EXPECT_EQ(job.m_fileSystemPaths[p2 + "/"], "/kept/");
  EXPECT_EQ(job.m_exports.back().m_snapshotId, created.back().m_id);
}

// The directory name from the cluster becomes part of the path the agent reads and of a map line.
TEST_F(LifecycleTest, ADirectoryNameThatIsNotOneComponentFailsTheCreation) {
  for (const std::string& name : {std::string("../../../../etc"), std::string("x:\nm:/:/evil"), std::string(),
                                  std::string("."), std::string(".."), std::string("a/b"), std::string("a\0b", 3)}) {
    cluster.createdDirectoryName = name;
    TestableSnapClient job;
    CQiError result = RunJob(job, 12, 11, {p1});
    ASSERT_EQ(result.Win32Code(), 13u) << name;
    EXPECT_NE(result.Messages().front().find("a later job's reconciliation removes it as stale"), std::string::npos);
    EXPECT_NE(result.Messages().front().find("snapshot [" + std::to_string(cluster.snapshots.back().m_id) + "]"),
              std::string::npos)
        << result.Messages().front();
    EXPECT_TRUE(job.m_exports.empty()) << name;
    EXPECT_TRUE(job.m_contentMapperPaths.empty()) << name;
  }
}

TEST_F(LifecycleTest, SnapshotNamesFollowTheGrammar) {
  TestableSnapClient client;
  std::string name = "unchanged";
  unsigned long long id = 7;
  CQiError early = client.GetSnapshotName(5, "/fs/projects/p1/", name, id);
  EXPECT_EQ(early.Win32Code(), 774u);
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(id, 7u);
  client.GetPartialSnapshotName(5, name).IgnoreError();
  EXPECT_EQ(name, "_5_");  // an uninitialised object has an empty prefix

  cluster.directories["/max/"] = 18446744073709551615ULL;
  client.Connect(cluster, 2, 17, 4011, 0);
  ASSERT_FALSE(client.GetSnapshotName(-5, "/fs/projects/p1/", name, id).IsError());
  EXPECT_EQ(name, "kwsnap_2_17_-5_11");
  ASSERT_FALSE(client.GetSnapshotName(0, "/max/", name, id).IsError());
  EXPECT_EQ(name, "kwsnap_2_17_0_18446744073709551615");
  EXPECT_EQ(id, 18446744073709551615ULL);

  name = "unchanged";
  EXPECT_TRUE(client.GetSnapshotName(1, "/missing/", name, id).IsError());
  EXPECT_EQ(name, "unchanged");
}

TEST_F(LifecycleTest, ReconciliationAsksForEachDirectoryNumberAndStopsAtAFailingPathWithoutDeleting) {
  TestableSnapClient job;
  ASSERT_FALSE(RunJob(job, 12, 11, {p1, p2, p3}).IsError());
  // Asked at creation and again at reconciliation: a number is never taken from memory.
  const std::string d1 = "/fs/projects/p1/", d2 = "/fs/projects/p2/", d3 = "/fs/projects/p3/";
  EXPECT_EQ(cluster.attributeQueries, (std::vector<std::string>{d1, d2, d3, d1, d2, d3}));

  cluster.AddSnapshot("kwsnap_1_2_3_11", 11);  // stale
  for (auto& info : job.m_exports) {
    info.m_prevSnapshotId = 77;
    info.m_runSnapDiffScan = true;
  }
  cluster.failAttributesFor = d2;
  CQiError result = job.ManageSnapshots();
  ASSERT_TRUE(result.IsError());
  auto it = job.m_exports.begin();
  EXPECT_EQ(it->m_prevSnapshotId, 0u);  // settled: no previous job 11 snapshot
  ++it;
  EXPECT_EQ(it->m_prevSnapshotId, 0u);  // reset, then failed
  EXPECT_FALSE(it->m_runSnapDiffScan);
  ++it;
  EXPECT_EQ(it->m_prevSnapshotId, 77u);  // untouched
  EXPECT_EQ(cluster.snapshots.size(), 4u);  // the three of job 12 and the stale one
}

TEST_F(LifecycleTest, CleanupDeletesInNameOrderAndStopsAtTheFirstFailure) {
  // An empty path list still reconciles, but no path justifies deleting the stale snapshot.
  cluster.AddSnapshot("kwsnap_1_2_3_11", 11);
  TestableSnapClient job;
  ASSERT_FALSE(RunJob(job, 12, 11, {}).IsError());
  EXPECT_EQ(job.m_snapshots.size(), 1u);
  EXPECT_TRUE(cluster.deletedIds.empty());
  {
    ScopedLogCapture log(0);
    EXPECT_FALSE(job.CleanupSnapshot({}).IsError());
    EXPECT_TRUE(log->Lines().empty());
  }
  const uint64_t a = cluster.AddSnapshot("a", 1).m_id = 9223372036854775813ULL;  // logged unsigned
  uint64_t b = cluster.AddSnapshot("b", 1).m_id;
  ASSERT_FALSE(job.ManageSnapshots().IsError());  // mirror a and b

  ScopedLogCapture log(0);
  CQiError result = job.CleanupSnapshot({"b", "a", "c"});
  ASSERT_EQ(result.Win32Code(), 774u);
  EXPECT_EQ(result.Messages().front(), "Unable to find snapshot information for c");
  EXPECT_EQ(cluster.deletedIds, (std::vector<uint64_t>{a, b}));
  EXPECT_TRUE(log->Contains("Deleting snapshot [a] ID [9223372036854775813]"));

  // A name deleted earlier is still mirrored and is sent again; the cluster's refusal comes back.
  cluster.failDeleteOf = a;
  EXPECT_TRUE(job.CleanupSnapshot({"a"}).IsError());
}

}  // namespace
