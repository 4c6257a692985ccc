// `snapjob snapshots list|delete`: the operator's inventory of the cluster's snapshots, read
// through the agent's wrapper. A name counts as the plug-in's only when it parses by the name
// grammar; nothing else is ever deleted. Returns the exit status.
#ifndef SNAPJOB_SNAPSHOTS_COMMAND_H_
#define SNAPJOB_SNAPSHOTS_COMMAND_H_

#include "options.h"

namespace snapjob {

int SnapshotsList(const SnapshotsOptions& options);
int SnapshotsDelete(const SnapshotsOptions& options);

}  // namespace snapjob

#endif  // SNAPJOB_SNAPSHOTS_COMMAND_H_
