// The one way tests run a built binary as a child process. RunCommand collects what it printed and
// how it ended, bounded by a time limit; standard error may be given a pseudo-terminal, to see what
// a person at a terminal would see. ChildProcess is a child whose standard output the test reads, or
// leaves unread, at its own pace. Not thread-safe; one owner each.
#ifndef SNAPTEST_CHILD_PROCESS_H_
#define SNAPTEST_CHILD_PROCESS_H_

#include <string>
#include <vector>

namespace snaptest {

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

// Killed and reaped on destruction.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Standard error goes to ours when `keep_stderr`, else it is discarded.
  bool Start(const std::string& binary, const std::vector<std::string>& args, bool keep_stderr = false);
  // Waits up to `timeout_seconds` for its first output; false when none came.
  bool AwaitOutput(int timeout_seconds);
  // Reads one line of standard output (without the newline); false on time-out, or at the end of
  // the output, which also closes it.
  bool ReadLine(int timeout_seconds, std::string* line);
  void CloseOutput();
  void Signal(int signal_number);
  // The exit status, or minus the signal number when a signal killed it. A child still running
  // after 20 s is killed, so that a hung binary fails its test instead of hanging it.
  int Wait();

  bool running() const { return pid_ > 0; }
  bool output_open() const { return out_ >= 0; }

 private:
  int pid_ = -1;
  int out_ = -1;
};

}  // namespace snaptest

#endif  // SNAPTEST_CHILD_PROCESS_H_
