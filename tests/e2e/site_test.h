// The fixture of the end-to-end suites: a started site with a.txt in /projects, and snapjob's
// command lines for it. Not thread-safe.
#ifndef E2E_SITE_TEST_H_
#define E2E_SITE_TEST_H_

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup_site.h"
#include "e2e_support.h"
#include "snaptest/temp_dir.h"

namespace e2e {

class SiteTest : public ::testing::Test {
 protected:
  void StartSite(const BackupSite::Config& config = BackupSite::Config()) {
    ASSERT_TRUE(site_.Start(config)) << site_.error();
    tree_ = site_.DiskPath("/fs/projects");
    backup_ = site_.MountPoint("/projects");
    Write("a.txt", "alpha\n");
  }

  void Write(const std::string& relative, const std::string& content) {
    ASSERT_TRUE(snaptest::MakeDirs(tree_ + "/" + relative.substr(0, relative.rfind('/') + 1)));
    ASSERT_TRUE(snaptest::WriteFile(tree_ + "/" + relative, content)) << relative;
  }

  std::string MapFile(int64_t job) const { return site_.Path("job-" + std::to_string(job) + ".map"); }

  // `snapjob run` for a job of this site; the backup path and further options follow.
  std::vector<std::string> Args(int64_t job, int64_t previous = 0) const {
    return site_.JobArgs(job, previous, MapFile(job));
  }

  CommandResult Job(int64_t job, int64_t previous, const std::vector<std::string>& more,
                    const CommandOptions& options = CommandOptions()) {
    return RunCommand(SnapjobBinary(), Plus(Plus(Args(job, previous), more), {backup_}), options);
  }

  // The inventory commands' connection options for this site.
  std::vector<std::string> Inventory(const std::vector<std::string>& command) const {
    return Plus(command, {"--registry", site_.registry(), "--client-id", std::to_string(BackupSite::kClientId),
                          "--ca-file", site_.ca_file()});
  }

  BackupSite site_;
  std::string tree_;
  std::string backup_;
};

}  // namespace e2e

#endif  // E2E_SITE_TEST_H_
