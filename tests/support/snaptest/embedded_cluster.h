// EmbeddedCluster: a cluster emulator running inside the test process, on a
// fresh loopback address at port 8000, over a temporary root and state
// directory. Start() returns once the server accepts connections. Counters and
// faults are reached through server(). Not thread-safe itself; the server it
// runs is.
#ifndef SNAPTEST_EMBEDDED_CLUSTER_H_
#define SNAPTEST_EMBEDDED_CLUSTER_H_

#include <memory>
#include <string>

#include "clustersim/server.h"
#include "snaptest/temp_dir.h"

namespace snaptest {

// The emulator's options with a test's defaults; its root, address, port and state directory are
// the embedded cluster's own, and the password is written to a file at Start().
struct EmbeddedClusterOptions : clustersim::Options {
  EmbeddedClusterOptions() {
    user = "admin";
    exports = {{"/", "/"}};  // each cluster directory is made under the root
    test_hooks = true;
  }
  std::string password = "test-password";
};

class EmbeddedCluster {
 public:
  EmbeddedCluster();
  ~EmbeddedCluster();  // stops the server and removes the directories
  EmbeddedCluster(const EmbeddedCluster&) = delete;
  EmbeddedCluster& operator=(const EmbeddedCluster&) = delete;

  EmbeddedClusterOptions options;  // set before Start()

  // Starts on a new loopback address (retrying if the port is taken).
  // On failure returns false and error() says why.
  bool Start();
  // Stops and starts again on the same address, root and state directory.
  bool Restart();
  void Stop();

  const std::string& error() const { return error_; }
  const std::string& address() const { return address_; }
  std::string url() const;            // "https://ADDR:8000"
  std::string ca_path() const;
  const std::string& root() const { return root_; }           // disk path of the cluster's "/"
  const std::string& state_dir() const { return state_dir_; }
  const std::string& user() const { return options.user; }
  const std::string& password() const { return options.password; }
  clustersim::Server& server() { return *server_; }           // counters, faults; valid while started

  // Disk path of a cluster path.
  std::string DiskPath(const std::string& cluster_path) const;
  // Make a directory (with parents) or write a file at a cluster path.
  bool MakeDir(const std::string& cluster_path) const;
  bool WriteFile(const std::string& cluster_path, const std::string& content) const;

 private:
  bool StartOn(const std::string& address);

  TempDir temp_;
  std::string root_;
  std::string state_dir_;
  std::string password_file_;
  std::string address_;
  std::string error_;
  std::unique_ptr<clustersim::Server> server_;
};

}  // namespace snaptest

#endif  // SNAPTEST_EMBEDDED_CLUSTER_H_
