// The paged comparison of two snapshots and the change items handed to the agent.

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "TestableSnapClient.h"

namespace {

std::string Describe(const FileServerSnapshotCompareItem& item) {
  const uint32_t mode = item.m_info.m_mode;
  return std::to_string(item.m_changeType) + (mode == 0x4000 ? " dir" : mode == 0x8000 ? " file" : mode ? " ?" : " none") +
         (item.m_info.m_exists ? " exists" : "") + (item.m_newDirectory ? " newdir" : "") + " " + item.m_path;
}

using Qumulo::kSnapshotChangeCreated;
using Qumulo::kSnapshotChangeDeleted;
using Qumulo::kSnapshotChangeModified;

class ChangeDetectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.Connect(cluster, 1, 2, 12, 11);
    AddExport("/backup/projects/", "/fs/projects/", 501, 401);
  }

  void AddExport(const std::string& backupPath, const std::string& fsPath, uint64_t current, uint64_t previous) {
    FileServerExportInfo info;
    info.m_backupPath = backupPath;
    info.m_fsPath = fsPath;
    info.m_snapshotName = "kwsnap_1_2_12_" + std::to_string(current);
    info.m_snapshotId = current;
    info.m_prevSnapshotName = "kwsnap_1_2_11_" + std::to_string(previous);
    info.m_prevSnapshotId = previous;
    info.m_runSnapDiffScan = true;
    client.m_exports.push_back(info);
    client.m_fileSystemPaths[backupPath] = fsPath;
  }

  void Page(const std::string& token, std::vector<Qumulo::CSnapshotDiffInfo> items, const std::string& next) {
    cluster.diffPages[token] = FakeCluster::DiffPage{std::move(items), next};
  }

  // Pulls items until the end-of-list item, which is not included.
  std::vector<FileServerSnapshotCompareItem> PullAll() {
    std::vector<FileServerSnapshotCompareItem> out;
    for (FileServerSnapshotCompareItem item; (item = source()).m_changeType != kFileServerChangeEndOfList;) {
      out.push_back(item);
    }
    return out;
  }
  std::vector<std::string> PullPaths() {
    std::vector<std::string> paths;
    for (const auto& item : PullAll()) paths.push_back(item.m_path);
    return paths;
  }

  static std::vector<Qumulo::CSnapshotDiffInfo> Files(const std::string& stem, size_t count) {
    std::vector<Qumulo::CSnapshotDiffInfo> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      items.push_back(FakeCluster::Diff(stem + std::to_string(i), kSnapshotChangeModified, false));
    }
    return items;
  }

  FakeCluster cluster;
  TestableSnapClient client;
  std::function<FileServerSnapshotCompareItem()> source;
};

TEST_F(ChangeDetectionTest, PagesAreFetchedWithEachTokenInOrder) {
  Page("", Files("/fs/projects/a", 2), "t1");
  Page("t1", Files("/fs/projects/b", 1), "t2");
  Page("t2", Files("/fs/projects/c", 1), "");
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects", "/local", source).IsError());

  ASSERT_EQ(cluster.diffCalls.size(), 3u);
  const char* tokens[] = {"", "t1", "t2"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(cluster.diffCalls[i].pageToken, tokens[i]);
    EXPECT_EQ(cluster.diffCalls[i].nextTokenOnEntry, "");
    EXPECT_EQ(cluster.diffCalls[i].pageSizeOnEntry, 0u);
    EXPECT_EQ(cluster.diffCalls[i].olderId, 401u);
    EXPECT_EQ(cluster.diffCalls[i].newerId, 501u);
  }
  EXPECT_EQ(PullPaths(), (std::vector<std::string>{"/backup/projects/a0", "/backup/projects/a1",
                                                   "/backup/projects/b0", "/backup/projects/c0"}));
  EXPECT_EQ(client.m_comparePath, "/backup/projects/");
}

TEST_F(ChangeDetectionTest, ProgressLinesFallOnExactMultiplesBeforeAFurtherPage) {
  // Six pages of half the progress interval: lines before the third and the fifth page only.
  const char* tokens[] = {"", "p2", "p3", "p4", "p5", "p6", ""};
  for (int i = 0; i < 6; ++i) Page(tokens[i], Files("/fs/projects/f", 50000), tokens[i + 1]);
  ScopedLogCapture log(0);
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects/", "/local/", source).IsError());

  std::vector<std::string> progress;
  for (const auto& text : log->Texts()) {
    if (text.rfind("Retrieved", 0) == 0) progress.push_back(text);
  }
  EXPECT_EQ(progress, (std::vector<std::string>{"Retrieved [100000] Changelist Items",
                                                "Retrieved [200000] Changelist Items"}));
  EXPECT_TRUE(log->Contains(
      "Total number of items received by ChangeList for snapshots [BASE][401] and [INCR][501]: 300000 "));
  EXPECT_EQ(client.m_diffList.size(), 300000u);
}

TEST_F(ChangeDetectionTest, AnEmptyFirstPageStillCountsAndLinksOn) {
  Page("", {}, "more");
  Page("more", Files("/fs/projects/y", 1), "");
  ScopedLogCapture log(0);
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects/", "/l", source).IsError());
  EXPECT_TRUE(log->Contains("Retrieved [0] Changelist Items"));
  EXPECT_EQ(PullPaths(), std::vector<std::string>{"/backup/projects/y0"});
}

TEST_F(ChangeDetectionTest, FailureOnALaterPageKeepsFetchedItemsAndTheCallerCallable) {
  Page("", Files("/fs/projects/a", 2), "t1");
  Page("t1", Files("/fs/projects/b", 2), "t2");
  Page("t2", Files("/fs/projects/c", 2), "");
  cluster.failDiffCall = 2;
  bool sentinelCalled = false;
  source = [&]() {
    sentinelCalled = true;
    return FileServerSnapshotCompareItem();
  };
  client.m_comparePath = "/earlier/";

  CQiError result = client.CompareSnapshots("/backup/projects/", "/l", source);
  ASSERT_EQ(result.Win32Code(), 1460u);  // the service's error comes through
  EXPECT_NE(result.LocationStack().back().find("CompareSnapshots"), std::string::npos);
  EXPECT_EQ(client.m_diffList.size(), 4u);
  EXPECT_EQ(client.m_comparePath, "/earlier/");
  source();
  EXPECT_TRUE(sentinelCalled);
}

TEST_F(ChangeDetectionTest, UnknownPathsAndGuards) {
  CQiError missing = client.CompareSnapshots("/not/compared", "/l", source);
  EXPECT_EQ(missing.Win32Code(), 1627u);
  EXPECT_EQ(missing.Messages().front(), "Could not compare snapshots for path [/not/compared/]");
  EXPECT_FALSE(source);

  TestableSnapClient fresh;
  ScopedLogCapture log(0);
  EXPECT_EQ(fresh.CompareSnapshots("/backup/projects", "/l", source).Win32Code(), 774u);
  EXPECT_TRUE(log->Lines().empty());
}

TEST_F(ChangeDetectionTest, FrontMostEntryOfARepeatedPathIsCompared) {
  AddExport("/backup/projects/", "/fs/projects/", 502, 402);
  client.m_exports.front().m_runSnapDiffScan = false;
  client.m_exports.front().m_prevSnapshotId = 0;
  Page("", {}, "");
  ScopedLogCapture log(0);
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects", "/l", source).IsError());
  EXPECT_TRUE(log->Contains("Run SnapDiff Scan is disabled. Snapshots may be unavailable."));
  ASSERT_EQ(cluster.diffCalls.size(), 1u);
  EXPECT_EQ(cluster.diffCalls[0].olderId, 0u);  // still asked, with no base
  EXPECT_EQ(cluster.diffCalls[0].newerId, 501u);
}

// One page: its items, the comparison's log lines and each item's description line.
TEST_F(ChangeDetectionTest, ItemsCarryTypeModeExistenceAndTranslatedPath) {
  Page("",
       {FakeCluster::Diff("/fs/projects/src/a.c", kSnapshotChangeModified, false),
        FakeCluster::Diff("/fs/projects/src/new/", kSnapshotChangeCreated, true),
        FakeCluster::Diff("/fs/projects/old/", kSnapshotChangeDeleted, true),
        FakeCluster::Diff("/fs/projects/changed/", kSnapshotChangeModified, true),
        FakeCluster::Diff("/fs/projects/", kSnapshotChangeModified, true),
        FakeCluster::Diff("/fs/projects/odd", 7, false),
        FakeCluster::Diff("/fs/projects/new\nline", kSnapshotChangeCreated, false),
        FakeCluster::Diff("/fs/projects/n.txt", kSnapshotChangeCreated, false)},
       "");
  ScopedLogCapture log(6);
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects/", "/l", source).IsError());
  EXPECT_EQ(cluster.diffCalls.size(), 1u);
  EXPECT_FALSE(log->AnyContains("Retrieved"));
  EXPECT_TRUE(log->Contains("Source Volume [/backup/projects/] Local Volume [/l/]"));
  EXPECT_TRUE(
      log->Contains("Compare snapshots Current [kwsnap_1_2_12_501][501] Previous [kwsnap_1_2_11_401][401]"));
  // Change type, mode, existence, new-directory flag, translated path.
  std::vector<std::string> described;
  for (const auto& item : PullAll()) {
    described.push_back(Describe(item));
    EXPECT_EQ(item.m_secondaryPath, "");
    EXPECT_EQ(item.m_secondaryInfo.m_mode, 0u);
  }
  EXPECT_EQ(described, (std::vector<std::string>{
                           "2 file exists /backup/projects/src/a.c",
                           "1 dir exists newdir /backup/projects/src/new",
                           "4 dir /backup/projects/old",
                           "2 dir exists /backup/projects/changed",
                           "2 dir exists /backup/projects",  // the compared directory itself
                           "0 file /backup/projects/odd",    // unknown types pass as "none"
                           "1 file exists /backup/projects/new\nline",  // a line feed is a name byte
                           "1 file exists /backup/projects/n.txt",
                       }));
  EXPECT_TRUE(log->Contains("Server [/fs/projects] Source [/fs/projects/n.txt] Local [/backup/projects]"));
  EXPECT_TRUE(log->Contains("Changelist Item :  ChangeType [NEW]  Server [/fs/projects/n.txt] => Local "
                            "[/backup/projects/n.txt] Folder [No] "));
  log->Clear();
  EXPECT_EQ(Describe(source()), "5 none ");
  EXPECT_EQ(source().m_changeType, 5);  // and again
  EXPECT_TRUE(log->Lines().empty());    // the end-of-list item logs nothing
}

// A path the cluster lists outside the compared directory would reach the agent as a path of the
// backup host; dropping it would lose an item. The comparison fails whole, on whichever page.
TEST_F(ChangeDetectionTest, APathOutsideTheComparedDirectoryFailsTheWholeComparison) {
  Page("", Files("/fs/projects/left", 1), "");
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects/", "/l", source).IsError());  // left unpulled
  const std::vector<std::pair<std::string, std::string>> outside = {
      {"/etc/shadow", "/etc/shadow"},
      {"/fs/projects2/secret.txt", "/fs/projects2/secret.txt"},  // a sibling sharing the name's start
      {"/fs/projects/../../etc/passwd", "/fs/projects/../../etc/passwd"},
      {"/fs/projects/./a", "/fs/projects/./a"},
      {"/fs/projects//a", "/fs/projects//a"},
      {"", ""},
      {"fs/projects/a", "fs/projects/a"},
      {std::string("/fs/projects/a\0/../../x", 23), "/fs/projects/a\\x00/../../x"},
      {"/fs/projects/a\n/../../x", "/fs/projects/a\\n/../../x"},
  };
  for (const auto& [path, shown] : outside) {
    cluster.diffPages.clear();
    Page("", Files("/fs/projects/a", 2), "t1");
    Page("t1", {FakeCluster::Diff("/fs/projects/b", kSnapshotChangeModified, false),
                FakeCluster::Diff(path, kSnapshotChangeCreated, false)},
         "");
    std::function<FileServerSnapshotCompareItem()> untouched;
    CQiError result = client.CompareSnapshots("/backup/projects/", "/l", untouched);
    ASSERT_EQ(result.Win32Code(), 13u) << shown;
    EXPECT_EQ(result.Messages().front(), "The cluster listed the changed path [" + shown +
                                             "] for snapshots [401] and [501], which does not lie within the "
                                             "compared directory [/fs/projects/]; the comparison is refused");
    EXPECT_FALSE(untouched);
    EXPECT_EQ(client.m_diffList.size(), 1u) << shown;  // only the earlier comparison's item
  }
  EXPECT_EQ(PullPaths(), std::vector<std::string>{"/backup/projects/left0"});
}

// The agent may compare the next path without pulling the items of the one before, whose
// comparison may even have failed: every item keeps its own backup path, and the count includes them.
TEST_F(ChangeDetectionTest, LeftoverItemsKeepTheirOwnBackupPath) {
  AddExport("/backup/other/", "/fs/other/", 601, 402);
  Page("", Files("/fs/other/o", 1), "t1");
  cluster.failDiffCall = 1;
  ASSERT_TRUE(client.CompareSnapshots("/backup/other/", "/l", source).IsError());
  Page("", Files("/fs/projects/p", 2), "");
  ASSERT_FALSE(client.CompareSnapshots("/backup/projects/", "/l", source).IsError());
  cluster.diffPages.clear();
  Page("", Files("/fs/other/o", 1), "");
  ScopedLogCapture log(0);
  ASSERT_FALSE(client.CompareSnapshots("/backup/other/", "/l", source).IsError());
  EXPECT_TRUE(log->AnyContains("and [INCR][601]: 4 ")) << log->AllText();
  EXPECT_EQ(PullPaths(), (std::vector<std::string>{"/backup/other/o0", "/backup/projects/p0", "/backup/projects/p1",
                                                   "/backup/other/o0"}));
}

// A change list that cannot be spilled fails its comparison with the directory and the bytes named,
// and hands out nothing of it: the leftovers of the comparison before come out, then the next's.
TEST_F(ChangeDetectionTest, AComparisonThatCannotSpillKeepsNothingOfIt) {
  const Qumulo::ChangeSpillOptions saved = Qumulo::ChangeSpillOptions::Default();
  Qumulo::ChangeSpillOptions spill;
  spill.directory = "/nonexistent/spill";
  spill.thresholdBytes = 0;
  Qumulo::ChangeSpillOptions::SetDefault(spill);
  TestableSnapClient spilling;  // takes the setting when created, as the agent's objects do
  Qumulo::ChangeSpillOptions::SetDefault(saved);
  spilling.Connect(cluster, 1, 2, 12, 11);
  AddExport("/backup/other/", "/fs/other/", 601, 402);
  spilling.m_exports = client.m_exports;
  spilling.m_fileSystemPaths = client.m_fileSystemPaths;

  Page("", Files("/fs/other/o", 2), "");
  ASSERT_FALSE(spilling.CompareSnapshots("/backup/other/", "/l", source).IsError());
  // Paths that share little with each other, some blocks of them: the second block has to spill.
  std::vector<Qumulo::CSnapshotDiffInfo> large;
  for (int i = 0; i < 5000; ++i) {
    large.push_back(FakeCluster::Diff("/fs/projects/" + std::to_string(i) + std::string(500, 'x'),
                                      kSnapshotChangeModified, false));
  }
  cluster.diffPages.clear();
  Page("", large, "t1");
  Page("t1", large, "");
  CQiError result = spilling.CompareSnapshots("/backup/projects/", "/l", source);
  EXPECT_EQ(result.Win32Code(), 112u);
  EXPECT_THAT(result.Messages().front(),
              ::testing::MatchesRegex("Could not write the change list to the spill directory "
                                      "\\[/nonexistent/spill\\]: No such file or directory; [0-9]+ bytes needed so far"));
  EXPECT_EQ(spilling.m_comparePath, "/backup/other/");
  EXPECT_EQ(spilling.m_diffList.size(), 2u);
  cluster.diffPages.clear();
  Page("", Files("/fs/other/o", 1), "");
  ASSERT_FALSE(spilling.CompareSnapshots("/backup/other/", "/l", source).IsError());
  EXPECT_EQ(PullPaths(),
            (std::vector<std::string>{"/backup/other/o0", "/backup/other/o1", "/backup/other/o0"}));
}

}  // namespace
