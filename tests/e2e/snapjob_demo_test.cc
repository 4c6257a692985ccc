// `snapjob demo` as a person runs it: with no set-up, three jobs, the change list, the frozen
// image, the stale snapshot deleted, and nothing left behind (or everything, with --keep).

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "backup_site.h"
#include "e2e_support.h"
#include "snaptest/temp_dir.h"

namespace e2e {
namespace {

TEST(SnapjobDemo, RunsThreeJobsAndRemovesItsTree) {
  CommandResult result = RunCommand(SnapjobBinary(), {"demo"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string& out = result.out;
  const std::string marker = "snapjob demo: workspace ";
  const size_t start = out.find(marker);
  ASSERT_NE(start, std::string::npos) << out;
  const std::string workspace = out.substr(start + marker.size(), out.find('\n', start) - start - marker.size());
  const std::string backup = workspace + "/mnt/projects";
  for (const std::string& expected :
       {"job 101: full backup of " + backup, "m:" + backup + "/:" + backup + "/.snapshot/",
        std::string("\"Guide, second edition.\""), std::string("\"Guide, first edition.\""),
        "new       dir   " + backup + "/lib\n", "deleted   dir   " + backup + "/old\n",
        "-- " + backup + ": 8 changes (2 new, 4 modified, 2 deleted)",
        std::string("stale snapshot of job 101 deleted: 1_kwsnap_7_2_101_")}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  }
  EXPECT_FALSE(std::filesystem::exists(workspace)) << workspace;
}

TEST(SnapjobDemo, KeepLeavesTheTreeAndNeverShowsThePassword) {
  snaptest::TempDir temp("snapjob-demo-e2e");
  const std::string keep = temp.Sub("kept");
  CommandResult result = RunCommand(SnapjobBinary(), {"demo", "--keep", keep});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_TRUE(std::filesystem::exists(keep + "/job-103.map"));
  const std::string password = snaptest::ReadFile(keep + "/password").substr(0, 32);
  ASSERT_EQ(password.size(), 32u);
  for (const std::string& text : {result.out, result.err, snaptest::ReadFile(keep + "/snapjob.log")}) {
    EXPECT_EQ(text.find(password), std::string::npos) << text;
  }

  // A non-empty --keep directory is refused before anything starts.
  CommandResult again = RunCommand(SnapjobBinary(), {"demo", "--keep", keep});
  EXPECT_EQ(again.exit_status, 2);
  EXPECT_NE(again.err.find("--keep needs an empty or new directory"), std::string::npos) << again.err;
}

}  // namespace
}  // namespace e2e
