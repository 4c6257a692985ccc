// A cluster that answers as a hostile or broken one would, for the cases the emulator does not
// offer: an HTTPS server on a fresh loopback address, port 8000, with a certificate from the
// emulator's own CA code. Login always succeeds; every other request goes to the test's handler,
// which runs on the server's threads. Not thread-safe; one owner.
#ifndef SNAPTEST_HOSTILE_CLUSTER_H_
#define SNAPTEST_HOSTILE_CLUSTER_H_

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "snaptest/temp_dir.h"

namespace snaptest {

class HostileCluster {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  HostileCluster();
  ~HostileCluster();
  HostileCluster(const HostileCluster&) = delete;
  HostileCluster& operator=(const HostileCluster&) = delete;

  // Listens and serves; requests are accepted once it returns true.
  bool Start(Handler handler);

  const std::string& address() const { return address_; }
  std::string url() const { return "https://" + address_ + ":8000"; }
  const std::string& ca_path() const { return ca_path_; }

 private:
  snaptest::TempDir state_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  std::string address_;
  std::string ca_path_;
};

}  // namespace snaptest

#endif  // SNAPTEST_HOSTILE_CLUSTER_H_
