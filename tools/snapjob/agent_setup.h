// Configures the agent's libraries that the plug-in relies on, the way the agent does before it
// creates a snap client: the global log writer, the client registry, the mount table or the
// auto-mount root, and how connections trust the cluster's certificate. The dlopen'ed plug-in
// resolves to the same loaded copies of these libraries, so it sees these settings.
// Call from one thread, before any snap client exists.
#ifndef SNAPJOB_AGENT_SETUP_H_
#define SNAPJOB_AGENT_SETUP_H_

#include <string>

#include "options.h"

namespace snapjob {

// False with a reason when a setting cannot be applied (a log file that cannot be opened).
bool ConfigureAgent(const RunOptions& options, std::string* error);

}  // namespace snapjob

#endif  // SNAPJOB_AGENT_SETUP_H_
