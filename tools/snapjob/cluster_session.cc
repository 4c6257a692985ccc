#include "cluster_session.h"

#include <boost/make_shared.hpp>

#include "Connection.h"
#include "Parser.h"
#include "file_checks.h"

namespace snapjob {

Qumulo::TransportOptions TransportFor(const ConnectionOptions& options) {
  Qumulo::TransportOptions transport = Qumulo::TransportOptions::Default();
  transport.caFile = options.ca_file;
  transport.insecure = options.insecure;
  transport.pinnedPublicKey = options.pin;
  transport.proxy = options.proxy;
  if (options.request_timeout > 0) transport.requestTimeoutSeconds = options.request_timeout;
  if (options.stall_timeout > 0) transport.lowSpeedTimeSeconds = options.stall_timeout;
  return transport;
}

bool CheckRegistry(const ConnectionOptions& options, RegistryCheck* check, std::string* problem) {
  *check = CheckClientRegistry(options.registry, options.client_id);
  *problem = check->problem;
  return problem->empty();
}

bool ClusterSession::Open(const ConnectionOptions& options, std::string* problem, CQiError* error) {
  RegistryCheck check;
  if (!CheckRegistry(options, &check, problem)) return false;
  *problem = CaFileProblem(options.ca_file);
  if (!problem->empty()) return false;
  auto connection = boost::make_shared<Qumulo::CConnection>(TransportFor(options));
  // The plug-in's own address form: the registry's host name on port 8000.
  *error =
      connection->Connect("https://" + check.record.hostname + ":8000", check.record.userName, check.record.password);
  if (error->IsError()) return false;
  snapshots_ = boost::make_shared<Qumulo::CSnapshotQueries>(connection, boost::make_shared<Qumulo::CParser>());
  return true;
}

}  // namespace snapjob
