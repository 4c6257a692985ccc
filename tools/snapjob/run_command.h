// `snapjob run`: one backup job from the command line. Returns the exit status: 0 success,
// 1 an operation failed (reported on standard error), 2 a setting could not be used.
#ifndef SNAPJOB_RUN_COMMAND_H_
#define SNAPJOB_RUN_COMMAND_H_

#include "options.h"

namespace snapjob {

int RunCommand(const RunOptions& options);

}  // namespace snapjob

#endif  // SNAPJOB_RUN_COMMAND_H_
