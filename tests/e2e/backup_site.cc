#include "backup_site.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "WrapperClient.h"
#include "snaptest/loopback.h"

namespace e2e {

// The cluster as any client of its API sees it, through the wrapper.
struct BackupSite::ClusterClient {
  std::unique_ptr<wrappertest::WrapperClient> wrapper;
  uint64_t directory_id = 0;

  // Connects and finds the id of `cluster_path`; false on any failure.
  bool Open(const BackupSite& site, const std::string& cluster_path) {
    Qumulo::TransportOptions options;
    options.caFile = site.ca_file();
    wrapper.reset(new wrappertest::WrapperClient(options));
    Qumulo::CDirectoryEntry entry;
    if (wrapper->connection->Connect("https://" + site.address() + ":8000", kUser, kPassword).IsError() ||
        wrapper->files->GetFileAttributes(cluster_path, entry, 0).IsError()) {
      return false;
    }
    directory_id = entry.m_fileId;
    return true;
  }
};

std::string SnapjobBinary() { return SNAPJOB_BINARY; }

bool BackupSite::Start(const Config& config) {
  std::error_code ec;
  std::vector<std::string> args = {"--root", temp_.Sub("cluster"), "--user", kUser, "--password-file",
                                   temp_.Sub("password"), "--state-dir", temp_.Sub("state"), "--export",
                                   "/projects=/fs/projects"};
  const bool made = snaptest::MakeDirs(DiskPath("/fs/projects")) && snaptest::MakeDirs(temp_.Sub("mnt"));
  if (made) std::filesystem::create_directory_symlink(DiskPath("/fs/projects"), MountPoint("/projects"), ec);
  if (!made || ec) {
    error_ = "cannot make the mount of /projects";
    return false;
  }
  args.insert(args.end(), config.extra_emulator_args.begin(), config.extra_emulator_args.end());
  if (!snaptest::WriteFile(temp_.Sub("password"), std::string(kPassword) + "\n") ||
      ::chmod(temp_.Sub("password").c_str(), 0600) != 0) {
    error_ = "cannot write the password file";
    return false;
  }

  // Another test may take the address between the pick and the bind: try a few.
  for (int attempt = 0; attempt < 4 && !emulator_.running(); ++attempt) {
    address_ = snaptest::PickLoopbackAddress();
    std::vector<std::string> with_address = args;
    with_address.push_back("--bind");
    with_address.push_back(address_);
    if (!emulator_.Start(with_address)) error_ = emulator_.error();
  }
  if (!emulator_.running()) return false;
  error_.clear();

  const std::string table = address_ + ":/projects " + MountPoint("/projects") + " nfs rw 0 0\n";
  if (!snaptest::WriteFile(mount_table(), table) || !WriteRegistry(registry(), kPassword)) {
    error_ = "cannot write the mount table or the registry";
    return false;
  }
  return true;
}

bool BackupSite::WriteRegistry(const std::string& path, const std::string& password) const {
  const std::string json = "{\"clients\": [{\"id\": " + std::to_string(kClientId) + ", \"hostname\": \"" + address_ +
                           "\", \"fileserver\": {\"username\": \"" + kUser + "\", \"password\": \"" + password +
                           "\"}}]}\n";
  return snaptest::WriteFile(path, json) && ::chmod(path.c_str(), 0600) == 0;
}

std::vector<std::string> BackupSite::JobArgs(int64_t job, int64_t previous_job, const std::string& map_file) const {
  return {"run",        "--registry",  registry(), "--client-id", std::to_string(kClientId),
          "--app-ids",  "1,2",         "--job",    std::to_string(job), "--previous-job",
          std::to_string(previous_job), "--map-file", map_file, "--mount-table", mount_table(),
          "--ca-file",  ca_file()};
}

std::vector<std::string> BackupSite::Snapshots(const std::string& cluster_path) const {
  std::vector<std::string> names;
  ClusterClient client;
  std::list<Qumulo::CSnapshotInfo> listed;
  if (!client.Open(*this, cluster_path) || client.wrapper->snapshots->ListSnapshots(listed).IsError()) {
    return {"(the cluster could not be asked)"};
  }
  for (const Qumulo::CSnapshotInfo& snapshot : listed) {
    if (snapshot.m_sourceFileId == client.directory_id) names.push_back(snapshot.m_directoryName);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool BackupSite::CreateSnapshot(const std::string& cluster_path, const std::string& name) const {
  ClusterClient client;
  Qumulo::CSnapshotInfo snapshot;
  return client.Open(*this, cluster_path) &&
         !client.wrapper->snapshots->CreateSnapshot(name, client.directory_id, snapshot, "").IsError();
}

}  // namespace e2e
