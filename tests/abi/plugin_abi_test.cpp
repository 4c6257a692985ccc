// Loads the built plug-in the way the agent does and drives every operation through the base
// interface of a fresh object: no operation may crash, throw, or reach a cluster. That the factory
// is the only symbol exported is checked on the symbol table (check_exports.cmake).

#include <dlfcn.h>

#include <functional>
#include <list>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "FileServerSnapClientBase.h"
#include "SnapClientFactory.h"

namespace {

class PluginAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_handle = dlopen(SNAP_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_handle, nullptr) << dlerror();
    m_factory = reinterpret_cast<GetSnapClientFn>(dlsym(m_handle, "GetSnapClient"));
    ASSERT_NE(m_factory, nullptr) << dlerror();
  }
  void TearDown() override {
    if (m_handle != nullptr) dlclose(m_handle);
  }

  void* m_handle = nullptr;
  GetSnapClientFn m_factory = nullptr;
};

// A second object is made first: one object's end must leave another working.
TEST_F(PluginAbiTest, FreshObjectAnswersEveryOperationThroughTheBase) {
  CFileServerSnapClientBase* other = m_factory();
  CFileServerSnapClientBase* client = m_factory();
  ASSERT_NE(client, nullptr);
  ASSERT_NE(other, nullptr);

  ContentMapperAPIPtr mapper;
  EXPECT_EQ(client->Initialize(10, 0, 1, 2, "", "", "", 9, 0, 0, 0, mapper).Win32Code(), 160u);
  EXPECT_EQ(client->InitArray(0).Win32Code(), 160u);
  EXPECT_FALSE(client->VerifySnapScanSupport().IsError());

  std::list<std::string> paths{"/mnt/a"};
  std::list<std::string> none;
  CQiError configure = client->ConfigureSnapshot(paths, none, none);
  EXPECT_EQ(configure.Win32Code(), 774u);
  ASSERT_FALSE(configure.Messages().empty());
  EXPECT_EQ(configure.Messages().front(), "Qumulo Snap client is not initialized");
  EXPECT_EQ(client->ManageSnapshots().Win32Code(), 774u);

  std::function<FileServerSnapshotCompareItem()> items;
  EXPECT_EQ(client->CompareSnapshots("/mnt/a", "/mnt/a", items).Win32Code(), 774u);
  EXPECT_FALSE(items);

  EXPECT_FALSE(client->CleanupSnapshot(std::set<std::string>()).IsError());
  EXPECT_EQ(client->CleanupSnapshot(std::set<std::string>{"kwsnap_1_2_3_4"}).Win32Code(), 774u);
  EXPECT_EQ(client->UpdateContentMapperPaths(mapper).Win32Code(), 1627u);
  EXPECT_FALSE(mapper);

  EXPECT_FALSE(client->CleanupSnapshotsPostBackup(true).IsError());
  EXPECT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
  EXPECT_FALSE(client->RepopulateContentMapperPaths(mapper).IsError());
  EXPECT_FALSE(client->DeleteAutoMountFailedSnapshots(paths).IsError());

  delete client;
  EXPECT_FALSE(other->VerifySnapScanSupport().IsError());
  delete other;
}

}  // namespace
