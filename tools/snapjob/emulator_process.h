// The cluster emulator, clustersim, run as a child process: started with its arguments, waited on
// until it prints its listening line (never by sleeping), and stopped again. The child gets
// SIGTERM if snapjob dies first. Start and Stop from one thread.
#ifndef SNAPJOB_EMULATOR_PROCESS_H_
#define SNAPJOB_EMULATOR_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace snapjob {

class EmulatorProcess {
 public:
  // Runs `binary` with `args`. Returns once the emulator prints
  // "listening on https://ADDR:PORT ca=PATH", or null with the reason (and what the emulator
  // printed) when it exits first or `timeout` passes. Everything the emulator prints is copied to
  // `output_log` ("" discards it).
  static std::unique_ptr<EmulatorProcess> Start(const std::string& binary, const std::vector<std::string>& args,
                                                const std::string& output_log, std::chrono::seconds timeout,
                                                std::string* error);

  ~EmulatorProcess();  // stops the emulator if it still runs
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  // Sends SIGTERM and reaps the child; SIGKILL if it has not ended within a few seconds.
  void Stop();

  const std::string& address() const { return address_; }  // as it printed it, e.g. 127.8.9.10
  const std::string& ca_file() const { return ca_file_; }
  pid_t pid() const { return pid_; }

 private:
  EmulatorProcess(pid_t pid, int output_fd) : pid_(pid), output_fd_(output_fd) {}

  pid_t pid_;
  int output_fd_;  // read end of the child's standard output and error
  std::string address_;
  std::string ca_file_;
  std::thread drain_;
};

// Parses "listening on https://ADDR:PORT ca=PATH". False for any other line.
bool ParseListeningLine(const std::string& line, std::string* address, std::string* ca_file);

}  // namespace snapjob

#endif  // SNAPJOB_EMULATOR_PROCESS_H_
