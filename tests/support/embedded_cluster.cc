#include "snaptest/embedded_cluster.h"

#include "snaptest/loopback.h"

namespace snaptest {

EmbeddedCluster::EmbeddedCluster() : temp_("clustersim") {
  root_ = temp_.Sub("root");
  state_dir_ = temp_.Sub("state");
  password_file_ = temp_.Sub("password");
}

EmbeddedCluster::~EmbeddedCluster() { Stop(); }

std::string EmbeddedCluster::url() const { return "https://" + address_ + ":8000"; }

std::string EmbeddedCluster::ca_path() const { return state_dir_ + "/ca.pem"; }

std::string EmbeddedCluster::DiskPath(const std::string& cluster_path) const {
  return cluster_path == "/" ? root_ : root_ + cluster_path;
}

bool EmbeddedCluster::MakeDir(const std::string& cluster_path) const { return MakeDirs(DiskPath(cluster_path)); }

bool EmbeddedCluster::WriteFile(const std::string& cluster_path, const std::string& content) const {
  return snaptest::WriteFile(DiskPath(cluster_path), content);
}

bool EmbeddedCluster::Start() {
  if (!MakeDirs(root_) || !snaptest::WriteFile(password_file_, options.password + "\n")) {
    error_ = "cannot prepare " + temp_.path();
    return false;
  }
  for (const auto& entry : options.exports) {
    if (!MakeDir(entry.fs_path)) {
      error_ = "cannot make the exported directory " + entry.fs_path;
      return false;
    }
  }
  // Another process may take the address between the check and the bind.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (StartOn(PickLoopbackAddress(8000))) return true;
    if (error_.find("cannot listen") == std::string::npos) return false;
  }
  return false;
}

bool EmbeddedCluster::Restart() {
  Stop();
  return StartOn(address_);
}

void EmbeddedCluster::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

bool EmbeddedCluster::StartOn(const std::string& address) {
  clustersim::Options server_options = options;
  server_options.root = root_;
  server_options.bind_address = address;
  server_options.port = 8000;
  server_options.password_file = password_file_;
  server_options.state_dir = state_dir_;
  auto server = std::make_unique<clustersim::Server>(server_options);
  clustersim::Status status = server->Start();
  if (!status.ok()) {
    error_ = status.message();
    return false;
  }
  address_ = address;
  server_ = std::move(server);
  error_.clear();
  return true;
}

}  // namespace snaptest
