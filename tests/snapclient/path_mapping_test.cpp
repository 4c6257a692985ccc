// The content mapper's path map and the snapshot map file.

#include <fstream>
#include <string>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "ContentMapper.h"
#include "TestableSnapClient.h"
#include "snaptest/temp_dir.h"

namespace {

class PathMappingTest : public ::testing::Test {
 protected:
  void SetUp() override { client.m_snapMapFile = mapFile; }

  snaptest::TempDir m_dir{"pathmap"};
  const std::string mapFile = m_dir.Sub("snapmap.txt");
  TestableSnapClient client;
};

TEST_F(PathMappingTest, SaveAppendsOneLinePerEntryInByteOrder) {
  ASSERT_FALSE(client.SaveSnapshotInformation().IsError());  // an empty map still makes the file
  EXPECT_EQ(snaptest::ReadFile(mapFile), "");
  {
    std::ofstream other(mapFile);
    other << "x:kept line\n";
  }
  client.m_contentMapperPaths["/b/"] = "/b/.snapshot/S2";
  client.m_contentMapperPaths["/a/"] = "/a/.snapshot/x:y";
  client.m_contentMapperPaths["/B/"] = "/B/.snapshot/S0";
  ASSERT_FALSE(client.SaveSnapshotInformation().IsError());
  const std::string lines = "m:/B/:/B/.snapshot/S0:\nm:/a/:/a/.snapshot/x:y:\nm:/b/:/b/.snapshot/S2:\n";
  EXPECT_EQ(snaptest::ReadFile(mapFile), "x:kept line\n" + lines);
  ASSERT_FALSE(client.SaveSnapshotInformation().IsError());  // a second save appends the map again
  EXPECT_EQ(snaptest::ReadFile(mapFile), "x:kept line\n" + lines + lines);
}

TEST_F(PathMappingTest, SaveFailuresNameTheFile) {
  client.m_snapMapFile = m_dir.Sub("missing/dir/map.txt");
  CQiError noDir = client.SaveSnapshotInformation();
  EXPECT_EQ(noDir.Win32Code(), 1627u);
  EXPECT_EQ(noDir.Messages().front(), " Failed to open [" + m_dir.Sub("missing/dir/map.txt") + "] file");

  client.m_snapMapFile = "";
  CQiError unnamed = client.SaveSnapshotInformation();
  EXPECT_EQ(unnamed.Win32Code(), 1627u);
  EXPECT_EQ(unnamed.Messages().front(), "SnapMapInfo file not set");

  // A line feed in a path would write a line of its own: nothing is written.
  client.m_snapMapFile = mapFile;
  client.m_contentMapperPaths["/a/"] = "/a/.snapshot/S";
  client.m_contentMapperPaths["/b/"] = "/b/.snapshot/x\nm:/:/evil";
  CQiError injected = client.SaveSnapshotInformation();
  EXPECT_EQ(injected.Win32Code(), 1627u);
  EXPECT_NE(injected.Messages().front().find("[/b/.snapshot/x\\nm:/:/evil] holds a line feed"), std::string::npos)
      << injected.Messages().front();
  EXPECT_FALSE(std::ifstream(mapFile).good());
  client.m_contentMapperPaths.erase("/b/");

  // A device that takes no data: the lost lines are a failure, not a success.
  client.m_snapMapFile = "/dev/full";
  client.m_contentMapperPaths["/a/"] = "/a/.snapshot/S";
  CQiError full = client.SaveSnapshotInformation();
  ASSERT_EQ(full.Win32Code(), 1627u);
  EXPECT_NE(full.Messages().front().find("/dev/full"), std::string::npos);
}

// Without a file name an empty map needs no mapper; a filled one is installed before the save fails.
TEST_F(PathMappingTest, UpdateInstallsTheMapInANewMapperAndSavesIt) {
  client.m_snapMapFile = "";
  ContentMapperAPIPtr mapper;
  EXPECT_EQ(client.UpdateContentMapperPaths(mapper).Win32Code(), 1627u);
  EXPECT_FALSE(mapper);
  client.m_contentMapperPaths["/m/b/"] = "/m/b/.snapshot/2";
  client.m_contentMapperPaths["/m/a/"] = "/m/a/.snapshot/1";
  EXPECT_EQ(client.UpdateContentMapperPaths(mapper).Win32Code(), 1627u);
  EXPECT_TRUE(mapper);

  client.m_snapMapFile = mapFile;
  mapper.reset();
  ScopedLogCapture log(0);
  ASSERT_FALSE(client.UpdateContentMapperPaths(mapper).IsError());
  auto concrete = boost::dynamic_pointer_cast<CContentMapper>(mapper);
  ASSERT_TRUE(concrete);
  EXPECT_EQ(concrete->GetPathMap(), client.m_contentMapperPaths);
  EXPECT_EQ(concrete->MapPath("/m/a/dir/f.txt"), "/m/a/.snapshot/1/dir/f.txt");
  EXPECT_EQ(log->Texts(), (std::vector<std::string>{"Content mapper path : /m/a/ => /m/a/.snapshot/1",
                                                     "Content mapper path : /m/b/ => /m/b/.snapshot/2",
                                                     "Saving snapshot information in File [" + mapFile + "]"}));
  EXPECT_EQ(snaptest::ReadFile(mapFile), "m:/m/a/:/m/a/.snapshot/1:\nm:/m/b/:/m/b/.snapshot/2:\n");
}

TEST_F(PathMappingTest, RepopulateRewritesTheFileWithTheAutoMountForms) {
  client.m_contentMapperPaths["/scan/a/"] = "/nfs/a/.snapshot/1";
  client.m_contentMapperPaths["/scan/b/"] = "/unreachable/b/.snapshot/2";
  ASSERT_FALSE(client.SaveSnapshotInformation().IsError());  // an earlier save
  auto concrete = boost::make_shared<CContentMapper>();
  concrete->AddLocalMount("/nfs", "/auto/srv");
  ContentMapperAPIPtr mapper = concrete;

  ASSERT_FALSE(client.RepopulateContentMapperPaths(mapper).IsError());
  EXPECT_TRUE(client.m_useContentMapper);
  std::map<std::string, std::string> expected{{"/scan/a/", "/auto/srv/a/.snapshot/1"}, {"/scan/b/", ""}};
  EXPECT_EQ(client.m_contentMapperPaths, expected);
  EXPECT_EQ(concrete->GetPathMap(), expected);
  EXPECT_EQ(snaptest::ReadFile(mapFile), "m:/scan/a/:/auto/srv/a/.snapshot/1:\nm:/scan/b/::\n");
}

// No mapper is ignored, one of another kind refused; a failure after the map was rebuilt keeps the new map.
TEST_F(PathMappingTest, RepopulateRefusalsAndFailures) {
  client.m_contentMapperPaths["/a/"] = "/nfs/a/.snapshot/1";
  ContentMapperAPIPtr none;
  ScopedLogCapture log(0);
  EXPECT_FALSE(client.RepopulateContentMapperPaths(none).IsError());
  EXPECT_TRUE(log->Contains("Given content mapper is not initialized!"));
  EXPECT_FALSE(client.m_useContentMapper);

  ContentMapperAPIPtr other = boost::make_shared<OtherMapper>();
  CQiError refused = client.RepopulateContentMapperPaths(other);
  EXPECT_EQ(refused.Win32Code(), 160u);
  EXPECT_EQ(refused.Messages().front(), "Dynamic cast failed for ContentMapper");
  EXPECT_TRUE(client.m_useContentMapper);
  EXPECT_EQ(client.m_contentMapperPaths.at("/a/"), "/nfs/a/.snapshot/1");

  auto concrete = boost::make_shared<CContentMapper>();
  concrete->AddLocalMount("/nfs", "/auto");
  ContentMapperAPIPtr mapper = concrete;
  client.m_snapMapFile = m_dir.Sub("no/such/dir/map.txt");
  CQiError unopened = client.RepopulateContentMapperPaths(mapper);
  EXPECT_EQ(unopened.Win32Code(), 1627u);
  // The new map is in place all the same.
  EXPECT_EQ(client.m_contentMapperPaths.at("/a/"), "/auto/a/.snapshot/1");
  EXPECT_EQ(concrete->GetPathMap().at("/a/"), "/auto/a/.snapshot/1");

  // Without a file name the lookups and their lines come first; the job's map survives the failure.
  client.m_snapMapFile = "";
  ScopedLogCapture lookups(1);
  CQiError unnamed = client.RepopulateContentMapperPaths(mapper);
  EXPECT_EQ(unnamed.Messages().front(), "SnapMapInfo file not set");
  EXPECT_TRUE(lookups->AnyContains("Scan path [/a/] => Snapshot path [/auto/a/.snapshot/1] => AutoMount"));
  EXPECT_EQ(client.m_contentMapperPaths.at("/a/"), "/auto/a/.snapshot/1");  // not rebuilt from the new map

  // An empty map empties the file of an earlier job.
  client.m_snapMapFile = mapFile;
  client.m_contentMapperPaths.clear();
  ASSERT_TRUE(snaptest::WriteFile(mapFile, "m:/old/:/old/.snapshot/1:\n"));
  ASSERT_FALSE(client.RepopulateContentMapperPaths(mapper).IsError());
  EXPECT_EQ(snaptest::ReadFile(mapFile), "");
}

}  // namespace
