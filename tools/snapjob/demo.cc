#include "demo.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "agent_setup.h"
#include "change_output.h"
#include "demo_files.h"
#include "emulator_process.h"
#include "error_report.h"
#include "exit_codes.h"
#include "job_runner.h"
#include "json_text.h"
#include "plugin_loader.h"
#include "progress_meter.h"

namespace snapjob {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kClientId = 7;
constexpr uint32_t kAppId1 = 1;
constexpr uint32_t kAppId2 = 2;
constexpr int64_t kFirstJob = 101;
constexpr char kUser[] = "admin";
constexpr char kExportPath[] = "/projects";
constexpr char kExportedDir[] = "/fs/projects";
constexpr int kAddressTries = 16;
constexpr std::chrono::seconds kEmulatorStartTimeout(60);

// The file read through its snapshot to show the frozen image.
constexpr char kShownFile[] = "docs/guide.txt";

struct TreeFile {
  const char* path;
  const char* content;
};

const TreeFile kInitialTree[] = {
    {"README.txt", "Projects share of the demo cluster.\n"},
    {"docs/guide.txt", "Guide, first edition.\n"},
    {"src/main.c", "int main(void) { return 0; }\n"},
    {"src/util.c", "int twice(int x) { return 2 * x; }\n"},
    {"old/notes.txt", "Notes nobody reads.\n"},
    {"build.log", "build ok\n"},
};

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A random address in 127.0.0.0/8 other than the usual 127.0.0.x.
std::string RandomLoopbackAddress(std::mt19937* random) {
  std::uniform_int_distribution<int> octet(1, 254);
  return "127." + std::to_string(octet(*random)) + "." + std::to_string(octet(*random)) + "." +
         std::to_string(octet(*random));
}

std::string Quoted(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return "\"" + text + "\"";
}

class Demo {
 public:
  explicit Demo(const DemoOptions& options) : options_(options) {}

  int Run() {
    if (!MakeWorkspace()) return kExitUsage;
    const bool ok = Tour();
    Finish(ok);
    return ok ? kExitOk : kExitFailed;
  }

 private:
  bool MakeWorkspace() {
    std::error_code error;
    if (!options_.keep_dir.empty()) {
      workspace_ = fs::absolute(options_.keep_dir, error).lexically_normal().string();
      while (workspace_.size() > 1 && workspace_.back() == '/') workspace_.pop_back();
      fs::create_directories(workspace_, error);
      if (error || !fs::is_empty(workspace_, error) || error) {
        std::fprintf(stderr, "snapjob: --keep needs an empty or new directory, and %s is not one\n",
                     workspace_.c_str());
        return false;
      }
      return true;
    }
    std::string pattern = (fs::temp_directory_path(error) / "snapjob-demo-XXXXXX").string();
    if (error || ::mkdtemp(&pattern[0]) == nullptr) {
      std::fprintf(stderr, "snapjob: cannot make a temporary directory\n");
      return false;
    }
    workspace_ = pattern;
    return true;
  }

  std::string At(const std::string& name) const { return workspace_ + "/" + name; }
  std::string ExportedTree() const { return At("cluster") + kExportedDir; }
  std::string BackupPath() const { return At("mnt") + kExportPath; }
  std::string SnapshotDirectory() const { return ExportedTree() + "/.snapshot"; }

  bool Fail(const std::string& what) {
    std::fprintf(stderr, "snapjob demo: %s\n", what.c_str());
    return false;
  }

  bool Tour() {
    Say("snapjob demo: workspace " + workspace_);
    if (!BuildTree() || !StartEmulator() || !WriteAgentFiles()) return false;

    RunOptions agent = JobOptions(0, 0, false);
    std::string error;
    if (!ConfigureAgent(agent, &error)) return Fail(error);
    const std::string plugin_path = options_.plugin.empty() ? DefaultPluginPath() : options_.plugin;
    plugin_ = PluginLibrary::Open(plugin_path, &error);
    if (!plugin_) return Fail(error);

    // Job 1: full.
    Say("");
    Say("job " + std::to_string(kFirstJob) + ": full backup of " + BackupPath());
    JobResult first;
    if (!RunJobStep(kFirstJob, 0, false, &first)) return false;
    Say("   snapshots on the cluster: " + Join(ListDirectory(SnapshotDirectory())));
    ShowMapFile(kFirstJob);
    const std::string shown = BackupPath() + "/" + kShownFile;
    const std::string shown_in_snapshot = first.content_mapper ? first.content_mapper->MapPath(shown) : shown;

    // Changes to the live tree.
    Say("");
    if (!ChangeTree()) return false;
    std::string live, frozen;
    if (!ReadFile(shown, &live) || !ReadFile(shown_in_snapshot, &frozen)) {
      return Fail("cannot read " + shown + " or its snapshot image " + shown_in_snapshot);
    }
    Say(std::string("frozen image of ") + kShownFile + ":");
    const std::string through = "through job " + std::to_string(kFirstJob) + "'s snapshot: ";
    Say("   " + std::string("live tree: ").append(through.size() - 11, ' ') + Quoted(live));
    Say("   " + through + Quoted(frozen) + "  (read from " + shown_in_snapshot + ")");
    first.content_mapper.reset();

    // Job 2: incremental, the change list.
    Say("");
    Say("job " + std::to_string(kFirstJob + 1) + ": incremental backup, compared with job " +
        std::to_string(kFirstJob) + "; its change list:");
    JobResult second;
    if (!RunJobStep(kFirstJob + 1, kFirstJob, true, &second)) return false;
    ShowMapFile(kFirstJob + 1);

    // Job 3: reconciliation deletes job 1's snapshot, which is neither current nor previous.
    Say("");
    Say("job " + std::to_string(kFirstJob + 2) + ": incremental backup, compared with job " +
        std::to_string(kFirstJob + 1));
    const std::vector<std::string> before = ListDirectory(SnapshotDirectory());
    JobResult third;
    if (!RunJobStep(kFirstJob + 2, kFirstJob + 1, true, &third)) return false;
    const std::vector<std::string> after = ListDirectory(SnapshotDirectory());
    const std::set<std::string> remaining(after.begin(), after.end());
    std::vector<std::string> deleted;
    for (const std::string& name : before) {
      if (remaining.count(name) == 0) deleted.push_back(name);
    }
    Say("   snapshots on the cluster before: " + Join(before));
    Say("   snapshots on the cluster after:  " + Join(after));
    Say("   stale snapshot of job " + std::to_string(kFirstJob) + " deleted: " + Join(deleted));
    return true;
  }

  bool BuildTree() {
    std::error_code error;
    for (const TreeFile& file : kInitialTree) {
      const fs::path path = fs::path(ExportedTree()) / file.path;
      fs::create_directories(path.parent_path(), error);
      if (error || !WriteFile(path.string(), file.content)) return Fail("cannot write " + path.string());
    }
    fs::create_directories(At("mnt"), error);
    // The demo's NFS mount: a symlink to the exported directory, so that reading below it reads
    // what the emulator serves, snapshots included.
    fs::create_directory_symlink(ExportedTree(), BackupPath(), error);
    if (error) return Fail("cannot make the mount point " + BackupPath() + ": " + error.message());
    return true;
  }

  bool StartEmulator() {
    const std::string password = RandomHex(16);
    if (!WritePrivateFile(At("password"), password + "\n")) return Fail("cannot write " + At("password"));
    password_ = password;
    const std::string binary =
        options_.clustersim.empty() ? ExecutableDirectory() + "/clustersim" : options_.clustersim;
    std::mt19937 random(std::random_device{}());
    std::string error;
    // Another program may hold port 8000 on an address: try a few.
    for (int attempt = 0; attempt < kAddressTries && !emulator_; ++attempt) {
      const std::string address = RandomLoopbackAddress(&random);
      // Deletion at once: the tour shows the stale snapshot's image gone, where a cluster would
      // still list it as being deleted for a while.
      const std::vector<std::string> args = {"--root", At("cluster"), "--bind", address, "--user", kUser,
                                             "--password-file", At("password"), "--export",
                                             std::string(kExportPath) + "=" + kExportedDir,
                                             "--state-dir", At("cluster.state"), "--delete-delay", "0"};
      emulator_ = EmulatorProcess::Start(binary, args, At("clustersim.log"), kEmulatorStartTimeout, &error);
    }
    if (!emulator_) return Fail("cannot start the cluster emulator " + binary + ": " + error);
    Say("cluster emulator: https://" + emulator_->address() + ":8000, exporting " + kExportPath + " = " +
        kExportedDir + " of its tree " + At("cluster"));
    return true;
  }

  bool WriteAgentFiles() {
    std::string registry = "{\"clients\": [{\"id\": " + std::to_string(kClientId) + ", \"hostname\": ";
    AppendJsonString(registry, emulator_->address());
    registry += ", \"fileserver\": {\"username\": ";
    AppendJsonString(registry, kUser);
    registry += ", \"password\": ";
    AppendJsonString(registry, password_);
    registry += "}}]}\n";
    if (!WritePrivateFile(At("registry.json"), registry)) return Fail("cannot write " + At("registry.json"));
    const std::string table = emulator_->address() + ":" + kExportPath + " " + MountTableField(BackupPath()) +
                              " nfs rw 0 0\n";
    if (!WriteFile(At("mounttab"), table)) return Fail("cannot write " + At("mounttab"));
    Say("NFS mount: " + BackupPath() + " (a symlink for the demo), listed in " + At("mounttab"));
    Say("agent registry: " + At("registry.json") + "; plug-in log: " + At("snapjob.log"));
    return true;
  }

  RunOptions JobOptions(int64_t job, int64_t previous, bool incremental) const {
    RunOptions run;
    run.connection.registry = At("registry.json");
    run.connection.client_id = kClientId;
    run.app_id1 = kAppId1;
    run.app_id2 = kAppId2;
    run.job = job;
    run.previous_job = previous;
    run.map_file = MapFile(job);
    run.mount_table = At("mounttab");
    run.connection.ca_file = emulator_ ? emulator_->ca_file() : "";
    run.incremental = incremental;
    run.log_file = At("snapjob.log");
    run.backup_paths = {BackupPath()};
    return run;
  }

  std::string MapFile(int64_t job) const { return At("job-" + std::to_string(job) + ".map"); }

  bool RunJobStep(int64_t job, int64_t previous, bool incremental, JobResult* result) {
    const RunOptions run = JobOptions(job, previous, incremental);
    std::unique_ptr<ChangeWriter> writer = NewChangeWriter(OutputFormat::kText, stdout);
    ProgressMeter meter(&StatusLine::Stderr());
    ClusterSession session;
    *result = RunJob(*plugin_, run, &session, writer.get(), &meter);
    if (!result->ok) {
      std::fputs(DescribeFailure(result->failed_operation, result->error, run.connection).c_str(), stderr);
      return Fail("job " + std::to_string(job) + " failed; see " + At("snapjob.log") +
                  (options_.keep_dir.empty() ? " (run with --keep DIR to keep it)" : ""));
    }
    return true;
  }

  void ShowMapFile(int64_t job) {
    std::string content;
    if (!ReadFile(MapFile(job), &content)) {
      Say("   snapshot map file " + MapFile(job) + " cannot be read");
      return;
    }
    Say("   snapshot map file " + MapFile(job) + ":");
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      Say("     " + content.substr(start, end - start));
      start = end + 1;
    }
  }

  bool ChangeTree() {
    const std::string root = ExportedTree() + "/";
    std::error_code error;
    bool ok = WriteFile(root + kShownFile, "Guide, second edition.\n") &&
              WriteFile(root + "src/main.c", "int main(void) { return 1; }\n") &&
              WriteFile(root + "src/feature.c", "int feature(void) { return 42; }\n");
    fs::create_directory(root + "lib", error);
    ok = ok && !error && WriteFile(root + "lib/lib.c", "int lib(void) { return 7; }\n");
    ok = ok && fs::remove(root + "build.log", error) && !error;
    ok = ok && fs::remove_all(root + "old", error) > 0 && !error;
    if (!ok) return Fail("cannot change the live tree below " + root);
    Say("changed the live tree: modified docs/guide.txt, src/main.c; added src/feature.c, lib/, lib/lib.c; "
        "deleted build.log, old/, old/notes.txt");
    return true;
  }

  static std::string Join(const std::vector<std::string>& names) {
    if (names.empty()) return "(none)";
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
  }

  void Finish(bool ok) {
    plugin_.reset();
    if (emulator_) emulator_->Stop();
    emulator_.reset();
    Say("");
    if (!options_.keep_dir.empty()) {
      Say(std::string(ok ? "done" : "stopped") + "; the demo tree stays in " + workspace_);
      return;
    }
    std::error_code error;
    fs::remove_all(workspace_, error);
    if (error) {
      std::fprintf(stderr, "snapjob demo: could not remove %s: %s\n", workspace_.c_str(), error.message().c_str());
      return;
    }
    Say(std::string(ok ? "done" : "stopped") + "; removed " + workspace_ + " (--keep DIR keeps the tree)");
  }

  const DemoOptions& options_;
  std::string workspace_;
  std::string password_;  // only ever written to the private password and registry files
  std::unique_ptr<EmulatorProcess> emulator_;
  std::unique_ptr<PluginLibrary> plugin_;
};

}  // namespace

int RunDemo(const DemoOptions& options) { return Demo(options).Run(); }

}  // namespace snapjob
