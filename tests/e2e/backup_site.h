// A backup site for end-to-end runs of snapjob: the cluster emulator started as its own process
// on a fresh loopback address over a temporary tree, the agent's client registry, and NFS mounts
// (symlinks to the exported directories on the emulator's disk) listed in a mount table. The
// site's snapshots are read through the cluster's API, with the wrapper.
// Not thread-safe; one owner per test.
#ifndef E2E_BACKUP_SITE_H_
#define E2E_BACKUP_SITE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "snaptest/cluster_process.h"
#include "snaptest/temp_dir.h"

namespace e2e {

// The path of the built snapjob binary.
std::string SnapjobBinary();

class BackupSite {
 public:
  static constexpr uint32_t kClientId = 7;
  static constexpr const char* kUser = "admin";
  // Chosen to be found by a search of everything snapjob prints and logs.
  static constexpr const char* kPassword = "e2e-Pw-Q7zW-never-printed";

  // The site exports /fs/projects as /projects, mounted at mnt/projects; these arguments come after.
  struct Config {
    std::vector<std::string> extra_emulator_args;
  };

  BackupSite() : temp_("snapjob-e2e") {}

  // Builds the tree and starts the emulator; false with error() on failure.
  bool Start(const Config& config = Config());
  const std::string& error() const { return error_; }

  const std::string& address() const { return address_; }
  const std::string& ca_file() const { return emulator_.ca_path(); }
  std::string Path(const std::string& relative) const { return temp_.Sub(relative); }
  // The disk directory of a cluster path.
  std::string DiskPath(const std::string& cluster_path) const { return temp_.Sub("cluster") + cluster_path; }
  // Where an export is mounted on the "backup host".
  std::string MountPoint(const std::string& export_path) const { return temp_.Sub("mnt") + export_path; }
  std::string registry() const { return temp_.Sub("registry.json"); }
  std::string mount_table() const { return temp_.Sub("mounttab"); }

  // Writes a registry (readable by its owner only) naming this emulator with `password`.
  bool WriteRegistry(const std::string& path, const std::string& password) const;

  // The arguments of `snapjob run` for a job of this site in mount-table mode, trusting the
  // emulator's CA; the backup paths and further options follow.
  std::vector<std::string> JobArgs(int64_t job, int64_t previous_job, const std::string& map_file) const;

  // The directory names of the snapshots the cluster lists for a cluster directory, sorted;
  // snapshots being deleted are left out, as the cluster lists them.
  std::vector<std::string> Snapshots(const std::string& cluster_path) const;
  // Snapshots a cluster directory under `name`, as another client of the cluster would.
  bool CreateSnapshot(const std::string& cluster_path, const std::string& name) const;

 private:
  struct ClusterClient;

  snaptest::TempDir temp_;
  snaptest::ClusterProcess emulator_;
  std::string address_;
  std::string error_;
};

}  // namespace e2e

#endif  // E2E_BACKUP_SITE_H_
