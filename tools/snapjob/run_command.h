// `snapjob run`: one backup job from the command line. Returns the exit status: 0 success,
// 1 an operation failed (reported on standard error, and as an error record with --output jsonl),
// 2 a setting could not be used (the registry's problems among them, before the plug-in is called).
#ifndef SNAPJOB_RUN_COMMAND_H_
#define SNAPJOB_RUN_COMMAND_H_

#include "options.h"

namespace snapjob {

int RunCommand(const RunOptions& options);

}  // namespace snapjob

#endif  // SNAPJOB_RUN_COMMAND_H_
