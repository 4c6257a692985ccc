// Jobs through the built snapjob against a cluster that answers with well-formed JSON but dangerous
// content: a snapshot directory name that climbs out, changed paths outside the compared directory.
// Each job fails; no change item is handed out and no map line points outside.

#include <sys/stat.h>

#include <mutex>
#include <string>

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

std::string Snapshot(int id, const std::string& name, const std::string& directory_name) {
  std::string text = "{\"id\": " + std::to_string(id) + ", \"name\": \"" + name + "\", \"directory_name\": ";
  Qumulo::AppendJsonString(text, directory_name);
  return text + ", \"source_file_id\": \"5\"}";
}

// The cluster exports /fs/projects (directory 5) as /projects and holds job 1's snapshot of it. Job 2
// snapshots it under `directory_name`; the difference lists a fine entry, then `changed_path`.
TEST(SnapjobHostile, JobsFailWithNoItemHandedOutAndNoMapLinePointingOutside) {
  snaptest::TempDir dir("hostile-job");
  const std::string backup = dir.Sub("mnt/projects");
  std::mutex mutex;
  std::string directory_name, changed_path;
  snaptest::HostileCluster cluster;
  ASSERT_TRUE(cluster.Start([&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex);
    std::string body = "{}";
    if (request.path == "/v2/nfs/exports/") {
      body = R"([{"id": "1", "export_path": "/projects", "fs_path": "/fs/projects", "description": ""}])";
    } else if (request.path.find("/info/attributes") != std::string::npos) {
      body = R"({"id": "5", "path": "/fs/projects/", "type": "FS_FILE_TYPE_DIRECTORY"})";
    } else if (request.path.rfind("/v3/", 0) == 0) {  // an older cluster, which names the directory itself
      response.status = 404;
      body = R"({"error_class": "http_not_found_error"})";
    } else if (request.path == "/v2/snapshots/") {
      body = request.method == "POST" ? Snapshot(20, "kwsnap_7_2_2_5", directory_name)
                                      : "{\"entries\": [" + Snapshot(10, "kwsnap_7_2_1_5", "10_kwsnap_7_2_1_5") +
                                            ", " + Snapshot(20, "kwsnap_7_2_2_5", directory_name) + "]}";
    } else if (request.path.find("/changes-since/") != std::string::npos) {
      body = R"({"entries": [{"op": "CREATE", "path": "/fs/projects/fine.txt"}, {"op": "MODIFY", "path": )";
      Qumulo::AppendJsonString(body, changed_path);
      body += "}]}";
    }
    response.set_content(body, "application/json");
  }));
  ASSERT_TRUE(snaptest::WriteFile(dir.Sub("registry.json"),
                                  "{\"clients\": [{\"id\": 7, \"hostname\": \"" + cluster.address() +
                                      "\", \"fileserver\": {\"username\": \"admin\", \"password\": \"pw\"}}]}\n"));
  ASSERT_EQ(::chmod(dir.Sub("registry.json").c_str(), 0600), 0);
  ASSERT_TRUE(snaptest::MakeDirs(backup));
  ASSERT_TRUE(snaptest::WriteFile(dir.Sub("mounttab"), cluster.address() + ":/projects " + backup + " nfs rw 0 0\n"));

  const struct {
    const char* directory_name;
    const char* changed_path;
    const char* failure;
  } cases[] = {
      {"../../../../etc", "/fs/projects/a",
       "ConfigureSnapshot failed: error 13\n  message: \"The cluster gave snapshot [20] (kwsnap_7_2_2_5) the directory "
       "name [../../../../etc], which is not a single path component"},
      {"x:\nm:/:/evil", "/fs/projects/a", "the directory name [x:\\nm:/:/evil], which is not a single path component"},
      {"20_kwsnap_7_2_2_5", "/etc/shadow", "CompareSnapshots failed: error 13\n  message: \"The cluster listed the "
                                           "changed path [/etc/shadow]"},
      {"20_kwsnap_7_2_2_5", "/fs/projects2/secret.txt", "the changed path [/fs/projects2/secret.txt]"},
      {"20_kwsnap_7_2_2_5", "/fs/projects/../../etc/passwd", "the changed path [/fs/projects/../../etc/passwd]"},
  };
  for (const auto& test : cases) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      directory_name = test.directory_name;
      changed_path = test.changed_path;
    }
    const std::string map_file = dir.Sub("job.map");
    ASSERT_TRUE(snaptest::RemoveAll(map_file));
    const CommandResult job = RunCommand(
        SnapjobBinary(), {"run", "--registry", dir.Sub("registry.json"), "--client-id", "7", "--app-ids", "1,2", "--job",
                          "2", "--previous-job", "1", "--map-file", map_file, "--mount-table", dir.Sub("mounttab"),
                          "--ca-file", cluster.ca_path(), "--incremental", backup});
    EXPECT_EQ(job.exit_status, 1) << job.err;
    EXPECT_EQ(job.out, "") << "no item reaches the agent";
    EXPECT_THAT(job.err, HasSubstr(test.failure));
    // Written only once the snapshot's directory name passed, and then it points into it.
    const std::string map = snaptest::ReadFile(map_file);
    EXPECT_TRUE(map.empty() || map == "m:" + backup + "/:" + backup + "/.snapshot/20_kwsnap_7_2_2_5:\n") << map;
  }
}

}  // namespace
}  // namespace e2e
