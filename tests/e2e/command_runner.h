// Runs a built binary as a child process and collects what it printed and how it ended. Bounded:
// a child still running after the time limit is killed and reported as such. Standard error may
// be given a pseudo-terminal, to see what a person at a terminal would see.
// Not thread-safe; one call at a time per object.
#ifndef E2E_COMMAND_RUNNER_H_
#define E2E_COMMAND_RUNNER_H_

#include <string>
#include <vector>

namespace e2e {

struct CommandResult {
  int exit_status = -1;     // the exit code; 128 + signal when killed by one (as on time-out)
  std::string out;          // standard output
  std::string err;          // standard error (as the terminal received it, with a pty)
};

struct CommandOptions {
  int timeout_seconds = 120;
  bool stderr_on_terminal = false;
};

CommandResult RunCommand(const std::string& binary, const std::vector<std::string>& args,
                         const CommandOptions& options = CommandOptions());

// A child whose standard output the test reads, or leaves unread, at its own pace: to stop it
// while it is blocked on a full pipe, or to close the pipe under it. Standard error is discarded.
// Killed and reaped on destruction. Not thread-safe.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::string& binary, const std::vector<std::string>& args);
  // Waits up to `timeout_seconds` for its first output; false when none came.
  bool AwaitOutput(int timeout_seconds);
  void CloseOutput();
  void Signal(int signal_number);
  // The exit status, or minus the signal number when a signal killed it.
  int Wait();

 private:
  int pid_ = -1;
  int out_ = -1;
};

}  // namespace e2e

#endif  // E2E_COMMAND_RUNNER_H_
