// Export lookup in both modes. The mount table is read once per process, so this program writes
// one table that serves every case before the first lookup.

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "FileShareAutoMount.h"
#include "KwMntTab.h"
#include "TestableSnapClient.h"
#include "snaptest/temp_dir.h"

namespace {

const std::list<std::string> kNone;

const snaptest::TempDir kTableDir("mounttable");
const std::string kTable = kTableDir.Sub("mounts");

class MountTableEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(snaptest::WriteFile(kTable,
                                    "/dev/sda1 / ext4 rw 0 0\n"
                                    "server:/projects/ /mnt/proj nfs rw 0 0\n"
                                    "a:/x /nest nfs rw 0 0\n"
                                    "server:/projects /nest/proj nfs rw 0 0\n"
                                    "/dev/sdb1 /data ext4 rw 0 0\n"
                                    "server:/projects/team /team nfs rw 0 0\n"));
    KwMntTab::SetTablePath(kTable);
  }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new MountTableEnvironment);

class ExportLookupTest : public ::testing::Test {
 protected:
  void SetUp() override { client.Connect(cluster, 1, 2, 12, 11); }

  CQiError Lookup(const std::string& backupPath, FileServerExportInfo& info) {
    std::string path = backupPath;
    bool flag = false;
    CQiError result = client.GetExportInfo(path, kNone, kNone, flag, info);
    EXPECT_FALSE(flag);
    EXPECT_EQ(path, backupPath);
    return result;
  }

  FakeCluster cluster;
  TestableSnapClient client;
};

TEST_F(ExportLookupTest, WorkedExampleThroughTheMountTable) {
  cluster.AddExport("/", "/");
  cluster.AddExport("/projects/", "/fs/projects/");
  FileServerExportInfo info;
  ScopedLogCapture log(2);
  ASSERT_FALSE(Lookup("/mnt/proj", info).IsError());
  EXPECT_EQ(info.m_backupPath, "/mnt/proj/");
  EXPECT_EQ(info.m_fsPath, "/fs/projects/");
  EXPECT_EQ(log->Texts(), (std::vector<std::string>{
                              "Scan Content [/mnt/proj]", "NFS mount path [/projects/]",
                              "Found NFS Export [/projects/] for backup path : [/mnt/proj], mountPath[/projects/]",
                              "SharePath[/projects/], ExportPath[/projects] FSPath[/fs/projects]",
                              "Backup Path [/mnt/proj/] => Qumulo Filesystem Path [/fs/projects/]"}));
}

TEST_F(ExportLookupTest, PathsBelowAMountNameTheirOwnDirectoryBehindTheMountsExport) {
  // The cluster lists an export the host never mounted first; the mount's own export must win.
  cluster.AddExport("/projects/p1", "/fs/other");
  cluster.AddExport("/projects", "/fs/projects");
  cluster.AddExport("/x", "/fs/x");
  FileServerExportInfo info;
  ASSERT_FALSE(Lookup("/mnt/proj/p1/sub", info).IsError());
  EXPECT_EQ(info.m_backupPath, "/mnt/proj/p1/sub/");
  EXPECT_EQ(info.m_fsPath, "/fs/projects/p1/sub/");
  // "." and empty components are dropped; the backup path itself stays as the agent wrote it.
  ASSERT_FALSE(Lookup("/mnt/proj/./a//b/.", info).IsError());
  EXPECT_EQ(info.m_backupPath, "/mnt/proj/./a//b/./");
  EXPECT_EQ(info.m_fsPath, "/fs/projects/a/b/");

  // Nested mounts listed outer first: the outer one wins.
  ASSERT_FALSE(Lookup("/nest/proj/a", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/fs/x/proj/a/");

  // ".." is refused before the cluster is asked anything, even where it would stay inside the mount.
  const int queries = cluster.exportQueries;
  for (const char* climbing : {"/mnt/proj/../other", "/mnt/proj/a/../b"}) {
    info.m_fsPath = "untouched";
    CQiError result = Lookup(climbing, info);
    EXPECT_EQ(result.Win32Code(), 160u) << climbing;
    EXPECT_EQ(result.Messages().front(),
              std::string("Backup path [") + climbing + "] climbs out of its mount point [/mnt/proj] with \"..\"");
    EXPECT_EQ(info.m_fsPath, "untouched");
  }
  EXPECT_EQ(cluster.exportQueries, queries);
}

TEST_F(ExportLookupTest, UnmountedPathsAndLocalDevices) {
  cluster.AddExport("/", "/fs");
  FileServerExportInfo info;
  info.m_fsPath = "untouched";
  CQiError result = Lookup("/home/user", info);  // only the root file system holds it
  EXPECT_EQ(result.Win32Code(), 1627u);
  EXPECT_EQ(result.Messages().front(), " Scan Content [/home/user] is not mounted");
  EXPECT_EQ(info.m_fsPath, "untouched");
  EXPECT_EQ(Lookup("/", info).Win32Code(), 1627u);

  ScopedLogCapture log(2);
  ASSERT_FALSE(Lookup("/data", info).IsError());
  EXPECT_TRUE(log->Contains("NFS mount path [/dev/sdb1]"));  // no ":" in the device: all of it
}

TEST_F(ExportLookupTest, ExportOrderDecidesAndTheRootExportIsOnlyTheFallback) {
  cluster.AddExport("/", "/r1");
  cluster.AddExport("/projects", "/fs/p");
  FileServerExportInfo info;
  ASSERT_FALSE(Lookup("/mnt/proj", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/fs/p/");

  cluster.exports.clear();
  cluster.AddExport("/", "/");
  ASSERT_FALSE(Lookup("/mnt/proj", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/projects/");

  // The first matching export wins over a more specific one.
  cluster.exports.clear();
  cluster.AddExport("/projects", "/fs/p");
  cluster.AddExport("/projects/team", "/fs/team");
  ASSERT_FALSE(Lookup("/team", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/fs/p/team/");

  cluster.exports.clear();
  cluster.AddExport("/", "/first");
  cluster.AddExport("/", "/second");
  ASSERT_FALSE(Lookup("/mnt/proj", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/second/projects/");
}

TEST_F(ExportLookupTest, NoExportAtAllAndAMountTableReadOnce) {
  cluster.AddExport("/other", "/fs/other");
  FileServerExportInfo info;
  CQiError result = Lookup("/mnt/proj", info);
  EXPECT_EQ(result.Win32Code(), 774u);
  EXPECT_EQ(result.Messages().front(),
            "Unable to find NFS Exports for the backup path [/mnt/proj] in qumulo cluster");
  EXPECT_EQ(info.m_backupPath, "");

  cluster.failExports = true;
  result = Lookup("/mnt/proj", info);
  EXPECT_EQ(result.Win32Code(), 1460u);  // the wrapper's error, passed up
  EXPECT_EQ(result.LocationStack().size(), 2u);

  // The mount table was read at the first lookup; a mount added since is not seen.
  std::ofstream(kTable, std::ios::app) << "server:/late /late nfs rw 0 0\n";
  EXPECT_EQ(Lookup("/late/x", info).Win32Code(), 1627u);
}

TEST_F(ExportLookupTest, AutoMountModeConvertsTheScanPath) {
  FileShareAutoMount::SetAutoMountRoot("/auto");
  client.m_useContentMapper = true;
  cluster.AddExport("/projects", "/fs/projects");
  FileServerExportInfo info;
  ScopedLogCapture log(2);
  ASSERT_FALSE(Lookup("/auto/10.0.0.5/projects/a", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/fs/projects/a/");
  EXPECT_FALSE(log->AnyContains("Scan Content"));
  ASSERT_FALSE(Lookup("/auto/10.0.0.5/projects//a//", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/fs/projects/a/");

  for (const char* refused : {"/elsewhere/x", "/auto/10.0.0.5", "/auto/10.0.0.5/../x"}) {
    CQiError result = Lookup(refused, info);
    EXPECT_EQ(result.Win32Code(), 1168u) << refused;
    EXPECT_EQ(result.Messages().front(), std::string("Could not find export path for [") + refused + "]");
  }
}

}  // namespace
