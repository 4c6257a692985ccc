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

}  // namespace e2e

#endif  // E2E_COMMAND_RUNNER_H_
