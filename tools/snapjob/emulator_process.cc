#include "emulator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace snapjob {
namespace {

constexpr char kListening[] = "listening on https://";
constexpr int kStopGraceMillis = 5000;

// Waits up to `millis` for the child to end, without reaping it. True when it ended.
bool WaitForExit(pid_t pid, int millis) {
#ifdef SYS_pidfd_open
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    struct pollfd ready = {pidfd, POLLIN, 0};
    int polled;
    do {
      polled = ::poll(&ready, 1, millis);
    } while (polled < 0 && errno == EINTR);
    ::close(pidfd);
    return polled > 0;
  }
#endif
  // Without pidfds: check in short steps.
  for (int waited = 0; waited < millis; waited += 20) {
    siginfo_t info;
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
      return true;
    }
    ::usleep(20 * 1000);
  }
  return false;
}

void CopyAll(int from, int to) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(from, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    if (to >= 0 && ::write(to, buffer, static_cast<size_t>(got)) < 0) to = -1;
  }
}

}  // namespace

bool ParseListeningLine(const std::string& line, std::string* address, std::string* ca_file) {
  if (line.compare(0, sizeof(kListening) - 1, kListening) != 0) return false;
  const size_t host_start = sizeof(kListening) - 1;
  const size_t blank = line.find(" ca=", host_start);
  if (blank == std::string::npos) return false;
  const std::string host_port = line.substr(host_start, blank - host_start);
  const size_t colon = host_port.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *address = host_port.substr(0, colon);
  // The emulator may name more after the CA file (" pin=sha256//..."); the path ends there.
  const size_t pin = line.find(" pin=", blank + 4);
  *ca_file = line.substr(blank + 4, pin == std::string::npos ? std::string::npos : pin - blank - 4);
  while (!ca_file->empty() && (ca_file->back() == '\r' || ca_file->back() == ' ')) ca_file->pop_back();
  return !ca_file->empty();
}

std::unique_ptr<EmulatorProcess> EmulatorProcess::Start(const std::string& binary,
                                                        const std::vector<std::string>& args,
                                                        const std::string& output_log, std::chrono::seconds timeout,
                                                        std::string* error) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<std::string> argv_text;
  argv_text.push_back(binary);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("cannot fork: ") + std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return nullptr;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);  // the parent is already gone
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    const int null_input = ::open("/dev/null", O_RDONLY);
    if (null_input >= 0) ::dup2(null_input, STDIN_FILENO);
    // snapjob blocks its stop signals for its own signal thread; the emulator gets a clean mask.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(binary.c_str(), argv.data());
    static const char kExecFailed[] = "cannot execute the emulator\n";
    if (::write(STDERR_FILENO, kExecFailed, sizeof(kExecFailed) - 1) < 0) {
    }
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::unique_ptr<EmulatorProcess> process(new EmulatorProcess(pid, pipe_fds[0]));

  const int log_fd = output_log.empty() ? -1 : ::open(output_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::string printed;  // everything so far, for the error text
  std::string pending;  // the unfinished last line
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool ready = false;
  while (!ready) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *error = "the emulator did not report that it listens within " + std::to_string(timeout.count()) + " s";
      break;
    }
    struct pollfd readable = {process->output_fd_, POLLIN, 0};
    const int polled = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(process->output_fd_, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = "the emulator ended before it listened";
      break;
    }
    if (log_fd >= 0 && ::write(log_fd, buffer, static_cast<size_t>(got)) < 0) {
    }
    printed.append(buffer, static_cast<size_t>(got));
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (ParseListeningLine(line, &process->address_, &process->ca_file_)) {
        ready = true;
        break;
      }
    }
  }
  if (!ready) {
    if (!printed.empty()) *error += "; it printed:\n" + printed;
    if (log_fd >= 0) ::close(log_fd);
    return nullptr;  // the destructor stops and reaps the child
  }
  // Keep reading, so that the emulator never blocks on a full pipe.
  const int fd = process->output_fd_;
  process->drain_ = std::thread([fd, log_fd] {
    CopyAll(fd, log_fd);
    if (log_fd >= 0) ::close(log_fd);
  });
  return process;
}

EmulatorProcess::~EmulatorProcess() { Stop(); }

void EmulatorProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (!WaitForExit(pid_, kStopGraceMillis)) ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (drain_.joinable()) drain_.join();  // ends at end of file, now that the child is gone
  if (output_fd_ >= 0) {
    ::close(output_fd_);
    output_fd_ = -1;
  }
}

}  // namespace snapjob
