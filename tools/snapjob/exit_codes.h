// The exit statuses of snapjob, which scripts and the end-to-end tests rely on.
#ifndef SNAPJOB_EXIT_CODES_H_
#define SNAPJOB_EXIT_CODES_H_

namespace snapjob {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // an operation failed
constexpr int kExitUsage = 2;   // bad usage, or a setting that cannot be used (the registry)
// Stopped by signal N (SIGINT, SIGTERM, SIGPIPE): 128 + N, after flushing what was written.

}  // namespace snapjob

#endif  // SNAPJOB_EXIT_CODES_H_
