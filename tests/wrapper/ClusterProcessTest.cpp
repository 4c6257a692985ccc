// The wrapper against the clustersim binary run as its own process.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "Connection.h"
#include "FileSystemQueries.h"
#include "Parser.h"
#include "Shares.h"
#include "SnapshotQueries.h"
#include "snaptest/cluster_process.h"
#include "snaptest/loopback.h"
#include "snaptest/temp_dir.h"

namespace Qumulo {
namespace {

TEST(WrapperClusterProcessTest, ConnectsThroughTheDefaultOptionsAndSnapshots) {
  snaptest::TempDir temp("wrapper-process");
  ASSERT_TRUE(snaptest::MakeDirs(temp.Sub("root/fs/data/sub")));
  ASSERT_TRUE(snaptest::WriteFile(temp.Sub("password"), "process-password\n"));
  snaptest::ClusterProcess emulator;
  ASSERT_TRUE(emulator.Start({"--root", temp.Sub("root"), "--bind", snaptest::PickLoopbackAddress(), "--user",
                              "admin", "--password-file", temp.Sub("password"), "--export", "/data=/fs/data",
                              "--state-dir", temp.Sub("state")}))
      << emulator.error();

  // The agent's way: set the process default once; the snap client's connection copies it.
  const TransportOptions saved = TransportOptions::Default();
  TransportOptions options = saved;
  options.caFile = emulator.ca_path();
  TransportOptions::SetDefault(options);
  auto connection = boost::make_shared<CConnection>();
  TransportOptions::SetDefault(saved);
  EXPECT_EQ(connection->Options().caFile, emulator.ca_path());

  auto parser = boost::make_shared<CParser>();
  CQiError result = connection->Connect(emulator.url(), "admin", "process-password");
  ASSERT_FALSE(result.IsError()) << result.ToString();

  CShares shares(connection, parser);
  std::list<CNFSExportEntry> exports;
  ASSERT_FALSE(shares.GetNFSExports(exports).IsError());
  ASSERT_EQ(exports.size(), 1u);
  EXPECT_EQ(exports.front().m_fsPath, "/fs/data");

  CFileSystemQueries files(connection, parser);
  CDirectoryEntry entry;
  ASSERT_FALSE(files.GetFileAttributes("/fs/data", entry, 0).IsError());
  CSnapshotQueries snapshots(connection, parser);
  CSnapshotInfo snapshot;
  ASSERT_FALSE(snapshots.CreateSnapshot("kwsnap_1_1_1_1", entry.m_fileId, snapshot, "").IsError());
  EXPECT_EQ(snapshot.m_sourceFileId, entry.m_fileId);
  EXPECT_FALSE(snapshots.DeleteSnapshot(snapshot.m_id).IsError());

  EXPECT_EQ(emulator.Stop(), 0);
}

}  // namespace
}  // namespace Qumulo
