// BenchCluster: the emulator as its own process on a fresh loopback address, with the host side of
// a job around it: a mount table that mounts one export, a client registry whose client stands for
// the cluster, and the password file. Its counters are read over a separate HTTPS connection.
// Not thread-safe; one owner.
#ifndef BENCH_SUPPORT_BENCH_CLUSTER_H_
#define BENCH_SUPPORT_BENCH_CLUSTER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "snaptest/cluster_process.h"
#include "snaptest/temp_dir.h"

namespace bench {

// Everything an agent process needs to reach the emulator; passed to child processes as arguments.
struct AgentEnvironment {
  std::string address;        // the emulator's loopback address (port 8000)
  std::string caFile;
  std::string registryFile;   // client registry (mode 0600)
  std::string mountTable;     // mount-table file
  std::string workDir;        // where logs and map files go
  unsigned long clientId = 7;

  std::vector<std::string> ToArgs() const;
  // Reads the arguments ToArgs wrote; false when one is missing.
  bool FromArgs(const std::vector<std::string>& args);
  // Points the agent's libraries of this process at the files, and sends level-0 log lines to
  // workDir/<logName>.
  void Apply(const std::string& logName) const;
};

struct CounterValues {
  uint64_t requests = 0;
  uint64_t tlsConnections = 0;
};

class BenchCluster {
 public:
  BenchCluster();
  BenchCluster(const BenchCluster&) = delete;
  BenchCluster& operator=(const BenchCluster&) = delete;

  // Starts the emulator publishing `fsPath` (a cluster directory, made under the root) as the export
  // `exportPath`, which the host mounts at mountPoint(). `extraArgs` go to clustersim as they are.
  bool Start(const std::string& exportPath, const std::string& fsPath, const std::vector<std::string>& extraArgs);
  const std::string& error() const { return error_; }

  const AgentEnvironment& agent() const { return agent_; }
  const std::string& mountPoint() const { return mountPoint_; }
  std::string url() const { return "https://" + agent_.address + ":8000"; }
  const std::string& user() const { return user_; }
  const std::string& passwordFile() const { return passwordFile_; }
  std::string password() const;
  // Disk path of a cluster path.
  std::string DiskPath(const std::string& clusterPath) const { return root_ + clusterPath; }
  const snaptest::TempDir& dir() const { return dir_; }

  // The emulator's counters, less what this reading itself adds (its own TLS handshake).
  bool ReadCounters(CounterValues* values);
  bool ResetCounters();

 private:
  bool Calibrate();

  snaptest::TempDir dir_{"snapbench"};
  snaptest::ClusterProcess process_;
  AgentEnvironment agent_;
  std::string root_;
  std::string mountPoint_;
  std::string user_ = "admin";
  std::string passwordFile_;
  std::string error_;
  CounterValues readingOverhead_;
};

}  // namespace bench

#endif  // BENCH_SUPPORT_BENCH_CLUSTER_H_
