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
                                    "server:/projects/team /team nfs rw 0 0\n"
                                    "server:/hidden /over nfs rw 0 0\n"
                                    "server:/projects/over /over nfs rw 0 0\n"));
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

// The export that publishes the mount's own share decides, in the cluster's order; a path below
// the mount names its own directory behind that export. The root export is only the fallback.
TEST_F(ExportLookupTest, TheMountsExportDecidesInTheClustersOrder) {
  using Exports = std::vector<std::pair<const char*, const char*>>;
  const Exports unmountedFirst = {{"/projects/p1", "/fs/other"}, {"/projects", "/fs/projects"}, {"/x", "/fs/x"}};
  const struct {
    Exports exports;
    const char* path;
    const char* fsPath;
  } rows[] = {
      {unmountedFirst, "/mnt/proj/p1/sub", "/fs/projects/p1/sub/"},  // an export the host never mounted comes first
      {unmountedFirst, "/mnt/proj/./a//b/.", "/fs/projects/a/b/"},   // "." and empty components are dropped
      {unmountedFirst, "/nest/proj/a", "/fs/projects/a/"},           // the inner of nested mounts, listed second
      {unmountedFirst, "/over/a", "/fs/projects/over/a/"},           // of two mounts on one point, the later
      {{{"/", "/r1"}, {"/projects", "/fs/p"}}, "/mnt/proj", "/fs/p/"},
      {{{"/", "/"}}, "/mnt/proj", "/projects/"},
      {{{"/projects", "/fs/p"}, {"/projects/team", "/fs/team"}}, "/team", "/fs/p/team/"},  // first, not most specific
      {{{"/", "/first"}, {"/", "/second"}}, "/mnt/proj", "/second/projects/"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    cluster.exports.clear();
    for (const auto& e : row.exports) cluster.AddExport(e.first, e.second);
    FileServerExportInfo info;
    ASSERT_FALSE(Lookup(row.path, info).IsError());
    EXPECT_EQ(info.m_backupPath, row.path + std::string("/"));  // as the agent wrote it
    EXPECT_EQ(info.m_fsPath, row.fsPath);
  }
}

// Which tenant the host's mount reaches is not known here: an export path that several tenants
// export is refused rather than guessed. Repeated in one tenant, the first still wins.
TEST_F(ExportLookupTest, AnExportPathOfSeveralTenantsIsRefused) {
  FileServerExportInfo info;
  for (const char* exportPath : {"/projects", "/"}) {
    SCOPED_TRACE(exportPath);
    cluster.exports.clear();
    cluster.AddExport(exportPath, "/fs/other", 2);
    cluster.AddExport(exportPath, "/fs/projects", 1);
    cluster.AddExport(std::string(exportPath) + (exportPath[1] ? "/" : ""), "/fs/third", 3);
    CQiError result = Lookup("/mnt/proj", info);
    EXPECT_EQ(result.Win32Code(), 1627u);
    EXPECT_EQ(result.Messages().front(), "NFS export path [" + std::string(exportPath) +
                                             "] is exported by tenants 2, 1, 3; cannot tell which tenant the mount "
                                             "of backup path [/mnt/proj] reaches");
    EXPECT_EQ(info.m_fsPath, "");
  }
  cluster.exports.clear();
  cluster.AddExport("/projects", "/fs/projects", 2);
  cluster.AddExport("/projects", "/fs/other", 2);
  cluster.AddExport("/elsewhere", "/fs/elsewhere", 1);
  ASSERT_FALSE(Lookup("/mnt/proj", info).IsError());
  EXPECT_EQ(info.m_fsPath, "/fs/projects/");
}

// ".." is refused before the cluster is asked anything, even where it would stay inside the mount.
TEST_F(ExportLookupTest, ClimbingOutOfTheMountIsRefused) {
  cluster.AddExport("/projects", "/fs/projects");
  FileServerExportInfo info;
  for (const char* climbing : {"/mnt/proj/../other", "/mnt/proj/a/../b"}) {
    info.m_fsPath = "untouched";
    CQiError result = Lookup(climbing, info);
    EXPECT_EQ(result.Win32Code(), 160u) << climbing;
    EXPECT_EQ(result.Messages().front(),
              std::string("Backup path [") + climbing + "] climbs out of its mount point [/mnt/proj] with \"..\"");
    EXPECT_EQ(info.m_fsPath, "untouched");
  }
  EXPECT_EQ(cluster.exportQueries, 0);
}

TEST_F(ExportLookupTest, UnmountedOrUnexportedPathsAndLocalDevices) {
  cluster.AddExport("/other", "/fs/other");
  FileServerExportInfo info;
  info.m_fsPath = "untouched";
  CQiError result = Lookup("/home/user", info);  // only the root file system holds it
  EXPECT_EQ(result.Win32Code(), 1627u);
  EXPECT_EQ(result.Messages().front(), " Scan Content [/home/user] is not mounted");
  EXPECT_EQ(info.m_fsPath, "untouched");
  EXPECT_EQ(Lookup("/", info).Win32Code(), 1627u);

  result = Lookup("/mnt/proj", info);
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

  cluster.failExports = false;
  cluster.AddExport("/", "/fs");
  ScopedLogCapture log(2);
  ASSERT_FALSE(Lookup("/data", info).IsError());
  EXPECT_TRUE(log->Contains("NFS mount path [/dev/sdb1]"));  // no ":" in the device: all of it
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
  // The lookup works on the normalised path; the log shows the share as the converter gave it.
  EXPECT_TRUE(log->Contains("NFS mount path [/projects//a//]"));
  EXPECT_TRUE(log->Contains("SharePath[/projects//a//], ExportPath[/projects] FSPath[/fs/projects]"));

  for (const char* refused : {"/elsewhere/x", "/auto/10.0.0.5", "/auto/10.0.0.5/../x"}) {
    CQiError result = Lookup(refused, info);
    EXPECT_EQ(result.Win32Code(), 1168u) << refused;
    EXPECT_EQ(result.Messages().front(), std::string("Could not find export path for [") + refused + "]");
  }
}

}  // namespace
