#include "snaptest/hostile_cluster.h"

#include "clustersim/certificates.h"
#include "snaptest/loopback.h"

namespace snaptest {

HostileCluster::HostileCluster() : state_("hostile-cluster") {}

HostileCluster::~HostileCluster() {
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool HostileCluster::Start(Handler handler) {
  for (int attempt = 0; attempt < 10 && !thread_.joinable(); ++attempt) {
    const std::string address = PickLoopbackAddress();
    clustersim::CertificatePaths paths;
    if (!clustersim::EnsureCertificates(state_.path(), address, &paths).ok()) return false;
    server_.reset(new httplib::SSLServer(paths.server_cert.c_str(), paths.server_key.c_str()));
    if (!server_->is_valid()) return false;
    server_->Post("/v1/session/login", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"bearer_token": "hostile-token"})", "application/json");
    });
    auto route = [handler](const httplib::Request& request, httplib::Response& response) { handler(request, response); };
    server_->Get(".*", route);
    server_->Post(".*", route);
    server_->Delete(".*", route);
    if (!server_->bind_to_port(address, 8000)) continue;
    address_ = address;
    ca_path_ = paths.ca_cert;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
  }
  return thread_.joinable();
}

}  // namespace snaptest
