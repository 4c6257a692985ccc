// How snapjob stops on SIGINT, SIGTERM and SIGPIPE: what it has written so far to standard output
// is flushed (the log is, line by line, anyway), then it exits with 128 + the signal number, as a
// shell reports a process killed by that signal. Call once at the start of main, before any thread.
#ifndef SNAPJOB_SIGNALS_H_
#define SNAPJOB_SIGNALS_H_

namespace snapjob {

void InstallStopSignals();

}  // namespace snapjob

#endif  // SNAPJOB_SIGNALS_H_
