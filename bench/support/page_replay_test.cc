// Recorded pages: the file format, and the snap client's real comparison over a recording, which is
// what the floor side of the change-list benchmark measures. Also the result line the measured
// sides report through, since a misread figure would go unnoticed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HttpTransport.h"
#include "changelist_modes.h"
#include "replay_snap_client.h"
#include "snaptest/temp_dir.h"
#include "support/page_replay.h"

namespace {

std::string Page(const std::vector<std::string>& entries, const std::string& next) {
  std::string body = "{\"entries\":[";
  for (size_t i = 0; i < entries.size(); ++i) body += (i ? "," : "") + entries[i];
  return body + "],\"paging\":{\"next\":\"" + next + "\"}}";
}

std::string Entry(const char* op, const std::string& path) {
  return std::string("{\"op\":\"") + op + "\",\"path\":\"" + path + "\"}";
}

bool WritePages(const std::string& file, const std::vector<std::string>& pages) {
  bench::PageFileWriter writer(file);
  for (const std::string& page : pages) {
    if (!writer.Append(page)) return false;
  }
  return writer.Close();
}

class PageReplayTest : public ::testing::Test {
 protected:
  snaptest::TempDir dir_{"pagereplay"};
  std::string file_ = dir_.Sub("pages.bin");
};

TEST_F(PageReplayTest, PagesComeBackInOrderWithTheParsersPadding) {
  const std::vector<std::string> pages = {Page({Entry("CREATE", "/fs/a")}, "/t1"), "", std::string(70000, 'x')};
  ASSERT_TRUE(WritePages(file_, pages));
  bench::PageFileReader reader(file_);
  std::string body, error;
  for (const std::string& page : pages) {
    ASSERT_TRUE(reader.Next(&body, &error)) << error;
    EXPECT_EQ(body, page);
    EXPECT_GE(body.capacity() - body.size(), Qumulo::kReceivePadding);
  }
  EXPECT_FALSE(reader.Next(&body, &error));
  EXPECT_EQ(error, "");  // a clean end
}

TEST_F(PageReplayTest, TruncatedRecordingIsAnErrorNotAnEnd) {
  ASSERT_TRUE(WritePages(file_, {std::string(100, 'x')}));
  const std::string bytes = snaptest::ReadFile(file_);
  for (size_t cut : {size_t{4}, bytes.size() - 1}) {
    ASSERT_TRUE(snaptest::WriteFile(file_, bytes.substr(0, cut)));
    bench::PageFileReader reader(file_);
    std::string body, error;
    EXPECT_FALSE(reader.Next(&body, &error));
    EXPECT_FALSE(error.empty()) << cut;
  }
}

TEST_F(PageReplayTest, ComparisonOverARecordingHandsOutEveryItemTranslated) {
  ASSERT_TRUE(WritePages(file_, {Page({Entry("CREATE", "/fs/big/new/"), Entry("MODIFY", "/fs/big/a")},
                                      "/p1.1.2.2"),
                                 Page({}, "/p1.1.2.2b"),
                                 Page({Entry("DELETE", "/fs/big/gone"), Entry("MODIFY", "/fs/big/x")},
                                      "")}));
  bench::ReplaySnapClient client;
  ASSERT_TRUE(client.Prepare(file_, "/mnt/big", "/fs/big/", 1, 2));
  std::function<FileServerSnapshotCompareItem()> source;
  CQiError result = client.CompareSnapshots("/mnt/big", "/mnt/big", source);
  ASSERT_FALSE(result.IsError()) << result.ToString();

  std::vector<std::string> paths;
  auto recording = [&]() {
    FileServerSnapshotCompareItem item = source();
    if (item.m_changeType != kFileServerChangeEndOfList) paths.push_back(item.m_path);
    return item;
  };
  bench::PullResult tally;
  bench::PullAll(recording, &tally);
  EXPECT_EQ(paths, (std::vector<std::string>{"/mnt/big/new", "/mnt/big/a", "/mnt/big/gone", "/mnt/big/x"}));
  EXPECT_EQ(tally.items, 4u);
  EXPECT_EQ(tally.created, 1u);
  EXPECT_EQ(tally.modified, 2u);
  EXPECT_EQ(tally.deleted, 1u);
  EXPECT_EQ(tally.other, 0u);
  EXPECT_EQ(tally.directories, 1u);
  EXPECT_EQ(tally.pathBytes, std::string("/mnt/big/new/mnt/big/a/mnt/big/gone/mnt/big/x").size());
}

TEST_F(PageReplayTest, ComparisonFailsWhenTheRecordingDoesNotFollowTheTokens) {
  // Ends early: the last recorded page still names a next one.
  ASSERT_TRUE(WritePages(file_, {Page({Entry("CREATE", "/fs/big/a")}, "/more")}));
  bench::ReplaySnapClient client;
  ASSERT_TRUE(client.Prepare(file_, "/mnt/big/", "/fs/big/", 1, 2));
  std::function<FileServerSnapshotCompareItem()> source;
  EXPECT_TRUE(client.CompareSnapshots("/mnt/big/", "/mnt/big/", source).IsError());
  EXPECT_FALSE(source);

  // A malformed page is the parser's error, passed up.
  ASSERT_TRUE(WritePages(file_, {"{\"entries\":[{\"op\":\"CREATE\"}]}"}));
  bench::ReplaySnapClient second;
  ASSERT_TRUE(second.Prepare(file_, "/mnt/big/", "/fs/big/", 1, 2));
  EXPECT_TRUE(second.CompareSnapshots("/mnt/big/", "/mnt/big/", source).IsError());

  bench::ReplaySnapClient missing;
  EXPECT_FALSE(missing.Prepare(dir_.Sub("absent.bin"), "/mnt/big/", "/fs/big/", 1, 2));
}

TEST(PullResultLine, RoundTripsAndRefusesPartialLines) {
  bench::PullResult result;
  result.items = 2000000;
  result.compareSeconds = 1.234567891;
  result.pullSeconds = 0.5;
  result.peakKib = 412345;
  result.growthKib = 401234;
  result.pathBytes = 123456789012ull;
  result.created = 800000;
  result.modified = 800000;
  result.deleted = 400000;
  result.directories = 300000;
  bench::PullResult back;
  ASSERT_TRUE(bench::PullResult::FromLine(result.ToLine(), &back));
  EXPECT_TRUE(back.SameTally(result));
  EXPECT_NEAR(back.compareSeconds, result.compareSeconds, 1e-9);
  EXPECT_EQ(back.peakKib, result.peakKib);
  EXPECT_EQ(back.growthKib, result.growthKib);

  EXPECT_FALSE(bench::PullResult::FromLine("ready", &back));
  EXPECT_FALSE(bench::PullResult::FromLine("result items=5 compare_s=1", &back));
  EXPECT_FALSE(bench::PullResult::FromLine("result items=x compare_s=1 pull_s=1 peak_kib=1 path_bytes=1 "
                                           "created=1 modified=1 deleted=1 other=1 dirs=1", &back));
}

}  // namespace
