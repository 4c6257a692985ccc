// Jobs through the built snapjob against a cluster that answers with well-formed JSON but dangerous
// content: a snapshot directory name that climbs out, changed paths outside the compared directory.
// Each job fails; no change item is handed out and no map line points outside.

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "WireText.h"
#include "backup_site.h"
#include "e2e_support.h"
#include "snaptest/hostile_cluster.h"
#include "snaptest/temp_dir.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

// The cluster exports /fs/projects (directory 5) as /projects and holds job 1's snapshot of it.
class SnapjobHostile : public ::testing::Test {
 protected:
  void Serve(const std::string& directory_name) {
    ASSERT_TRUE(cluster_.Start([=](const httplib::Request& request, httplib::Response& response) {
      std::string body = "{}";
      if (request.path == "/v2/nfs/exports/") {
        body = R"([{"id": "1", "export_path": "/projects", "fs_path": "/fs/projects", "description": ""}])";
      } else if (request.path.find("/info/attributes") != std::string::npos) {
        body = R"({"id": "5", "path": "/fs/projects/", "type": "FS_FILE_TYPE_DIRECTORY"})";
      } else if (request.method == "POST") {
        const size_t start = request.body.find("\"name\": \"") + 9;
        body = Snapshot(20, request.body.substr(start, request.body.find('"', start) - start), directory_name);
      } else if (request.path == "/v2/snapshots/") {
        body = "{\"entries\": [" + Snapshot(10, "kwsnap_7_2_1_5", "10_kwsnap_7_2_1_5") + ", " +
               Snapshot(20, "kwsnap_7_2_2_5", directory_name) + "]}";
      } else if (request.path.find("/changes-since/") != std::string::npos) {
        std::string path;
        std::lock_guard<std::mutex> lock(mutex_);
        Qumulo::AppendJsonString(path, changed_path_);
        body = R"({"entries": [{"op": "CREATE", "path": "/fs/projects/fine.txt"}, {"op": "MODIFY", "path": )" + path +
               "}], \"paging\": {\"next\": null}}";
      }
      response.set_content(body, "application/json");
    }));
    const std::string registry = "{\"clients\": [{\"id\": 7, \"hostname\": \"" + cluster_.address() +
                                 "\", \"fileserver\": {\"username\": \"admin\", \"password\": \"pw\"}}]}\n";
    ASSERT_TRUE(snaptest::WriteFile(dir_.Sub("registry.json"), registry));
    ASSERT_EQ(::chmod(dir_.Sub("registry.json").c_str(), 0600), 0);
    ASSERT_TRUE(snaptest::MakeDirs(backup_));
    ASSERT_TRUE(snaptest::WriteFile(dir_.Sub("mounttab"), cluster_.address() + ":/projects " + backup_ + " nfs rw 0 0\n"));
  }

  static std::string Snapshot(int id, const std::string& name, const std::string& directory_name) {
    std::string text = "{\"id\": " + std::to_string(id) + ", \"name\": \"" + name + "\", \"directory_name\": ";
    Qumulo::AppendJsonString(text, directory_name);
    return text + ", \"source_file_id\": \"5\", \"in_delete\": false}";
  }

  CommandResult IncrementalJob() {
    return RunCommand(SnapjobBinary(), {"run", "--registry", dir_.Sub("registry.json"), "--client-id", "7", "--app-ids",
                                        "1,2", "--job", "2", "--previous-job", "1", "--map-file", dir_.Sub("job.map"),
                                        "--mount-table", dir_.Sub("mounttab"), "--ca-file", cluster_.ca_path(),
                                        "--incremental", backup_});
  }

  snaptest::TempDir dir_{"hostile-job"};
  const std::string backup_ = dir_.Sub("mnt/projects");
  std::mutex mutex_;
  std::string changed_path_ = "/fs/projects/a";  // the second entry of the difference
  snaptest::HostileCluster cluster_;             // last: its handler uses the members above
};

TEST_F(SnapjobHostile, ADirectoryNameThatClimbsOutFailsTheJobBeforeAnyMapLine) {
  Serve("../../../../etc");
  const CommandResult job = IncrementalJob();
  EXPECT_EQ(job.exit_status, 1) << job.err;
  EXPECT_EQ(job.out, "");
  EXPECT_THAT(job.err, HasSubstr("snapjob: ConfigureSnapshot failed: error 13\n"));
  EXPECT_THAT(job.err, HasSubstr("the directory name [../../../../etc], which is not a single path component"));
  EXPECT_EQ(snaptest::ReadFile(dir_.Sub("job.map")), "");
}

TEST_F(SnapjobHostile, ChangedPathsOutsideTheDirectoryFailTheJobWithNoItemHandedOut) {
  Serve("20_kwsnap_7_2_2_5");
  for (const char* outside : {"/etc/shadow", "/fs/projects2/secret.txt", "/fs/projects/../../etc/passwd"}) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      changed_path_ = outside;
    }
    const CommandResult job = IncrementalJob();
    EXPECT_EQ(job.exit_status, 1) << job.err;
    EXPECT_EQ(job.out, "") << "no item of the comparison reaches the agent";
    EXPECT_THAT(job.err, HasSubstr("snapjob: CompareSnapshots failed: error 13\n"));
    EXPECT_THAT(job.err, HasSubstr(std::string("the changed path [") + outside + "]"));
  }
  // The map line the job wrote before it compared points into the backup path's own snapshot.
  EXPECT_THAT(snaptest::ReadFile(dir_.Sub("job.map")),
              HasSubstr("m:" + backup_ + "/:" + backup_ + "/.snapshot/20_kwsnap_7_2_2_5:\n"));
}

}  // namespace
}  // namespace e2e
