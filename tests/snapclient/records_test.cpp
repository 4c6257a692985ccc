// Records that cross the plug-in's boundaries: whole-record copies.

#include <memory>

#include <gtest/gtest.h>

#include "FileServerRecords.h"
#include "QumuloCluster.h"
#include "QumuloRecords.h"

namespace {

TEST(RecordsTest, SnapshotInfoCopiesEveryFieldAndKeepsItsType) {
  struct Derived : Qumulo::CSnapshotInfo {
    int extra = 7;
  };
  Qumulo::CSnapshotInfo source;
  source.m_inDelete = true;
  source.m_name = "kwsnap_1_2_3_4";
  source.m_timestamp = 1765000000;
  source.m_sourceFileId = 9007199254740993ULL;
  source.m_hasExpiration = true;
  source.m_expiration = "2027-01-01T00:00:00Z";
  source.m_directoryName = "5_kwsnap_1_2_3_4";
  source.m_id = 5;

  std::unique_ptr<Qumulo::CSnapshotInfo> target(new Derived());
  *target = source;
  EXPECT_NE(dynamic_cast<Derived*>(target.get()), nullptr);
  EXPECT_TRUE(target->m_inDelete);
  EXPECT_EQ(target->m_name, source.m_name);
  EXPECT_EQ(target->m_timestamp, source.m_timestamp);
  EXPECT_EQ(target->m_sourceFileId, source.m_sourceFileId);
  EXPECT_TRUE(target->m_hasExpiration);
  EXPECT_EQ(target->m_expiration, source.m_expiration);
  EXPECT_EQ(target->m_directoryName, source.m_directoryName);
  EXPECT_EQ(target->m_id, 5u);
}

}  // namespace
