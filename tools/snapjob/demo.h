// `snapjob demo`: a whole tour with no set-up beyond the build. Starts the cluster emulator on a
// free loopback address over a temporary tree, writes the agent's registry and a mount table, and
// runs three jobs through the plug-in: a full one, an incremental one after changes to the tree,
// and a third whose reconciliation deletes the first job's now stale snapshot. Returns the exit
// status (0, 1 when a step failed, 2 for an unusable --keep directory).
#ifndef SNAPJOB_DEMO_H_
#define SNAPJOB_DEMO_H_

#include "options.h"

namespace snapjob {

int RunDemo(const DemoOptions& options);

}  // namespace snapjob

#endif  // SNAPJOB_DEMO_H_
