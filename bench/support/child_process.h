// A child process of the benchmark, talking over its standard input and output one line at a
// time, and reaped with its resource usage. Used to give each measured mode a process of its own,
// so that no two modes share a memory high-water mark. Not thread-safe; one owner.
#ifndef BENCH_SUPPORT_CHILD_PROCESS_H_
#define BENCH_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs `argv` (argv[0] is the program). Its standard error goes to ours.
  bool Start(const std::vector<std::string>& argv);
  // The next line the child wrote, without its newline; false at its end of output.
  bool ReadLine(std::string* line);
  bool WriteLine(const std::string& line);
  // Waits for the exit. Returns the exit status (128 + signal when killed), and the child's
  // peak resident memory in KiB from its resource usage.
  int Wait(long* maxRssKib = nullptr);

  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;   // our end of its standard input
  int out_ = -1;  // our end of its standard output
  std::string pending_;
  std::string error_;
};

// The path of the running executable, for running it again in another mode.
std::string SelfExecutable();

}  // namespace bench

#endif  // BENCH_SUPPORT_CHILD_PROCESS_H_
