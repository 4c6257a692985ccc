// ClusterProcess: the built `clustersim` binary run as a child process. Start()
// returns once the child printed its "listening on ..." line (no sleeping);
// Stop() sends SIGTERM and reaps it. Not thread-safe; one owner.
#ifndef SNAPTEST_CLUSTER_PROCESS_H_
#define SNAPTEST_CLUSTER_PROCESS_H_

#include <string>
#include <vector>

#include "snaptest/child_process.h"

namespace snaptest {

// Path of the built emulator binary.
std::string ClusterSimBinary();

class ClusterProcess {
 public:
  ClusterProcess() = default;
  ~ClusterProcess();  // Stop()
  ClusterProcess(const ClusterProcess&) = delete;
  ClusterProcess& operator=(const ClusterProcess&) = delete;

  // Runs the binary with `args` (argv[0] excluded) and waits up to
  // `timeout_seconds` for its listening line. Its stderr goes to ours.
  bool Start(const std::vector<std::string>& args, int timeout_seconds = 60);
  // SIGTERM, then waits for the exit. Returns the exit status (-1 if not running, minus the
  // signal number if one killed it).
  int Stop();
  // SIGKILL, as a crash would end it, then reaps it.
  void Kill();

  bool running() const { return child_.running(); }
  const std::string& error() const { return error_; }
  const std::string& listening_line() const { return line_; }
  const std::string& url() const { return url_; }        // from the listening line
  const std::string& ca_path() const { return ca_path_; }
  const std::string& pin() const { return pin_; }        // "sha256//BASE64" of the served key

 private:
  ChildProcess child_;
  std::string error_;
  std::string line_;
  std::string url_;
  std::string ca_path_;
  std::string pin_;
};

}  // namespace snaptest

#endif  // SNAPTEST_CLUSTER_PROCESS_H_
