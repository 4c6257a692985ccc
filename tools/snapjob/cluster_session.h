// The driver's own way to the cluster, through the agent's wrapper and registry, as an agent-side
// command would take it: the registry check that guards every command, the transport options of
// the command line, and a connection for the snapshot inventory. Not thread-safe.
#ifndef SNAPJOB_CLUSTER_SESSION_H_
#define SNAPJOB_CLUSTER_SESSION_H_

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

#include "ClientRegistry.h"
#include "QiError.h"
#include "SnapshotQueries.h"
#include "TransportOptions.h"
#include "options.h"

namespace snapjob {

// The command line's trust and proxy settings over the wrapper's defaults.
Qumulo::TransportOptions TransportFor(const ConnectionOptions& options);

// Checks the registry as the plug-in will read it; false with the exact cause in *problem.
bool CheckRegistry(const ConnectionOptions& options, RegistryCheck* check, std::string* problem);

class ClusterSession {
 public:
  // Logs in to the registry client's host on the plug-in's port. A registry or CA file problem
  // comes back in *problem (and false), a cluster failure as the wrapper's error.
  bool Open(const ConnectionOptions& options, std::string* problem, CQiError* error);
  bool opened() const { return snapshots_ != nullptr; }
  Qumulo::CSnapshotQueries& snapshots() { return *snapshots_; }

 private:
  boost::shared_ptr<Qumulo::CSnapshotQueries> snapshots_;
};

}  // namespace snapjob

#endif  // SNAPJOB_CLUSTER_SESSION_H_
