#include "snaptest/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace snaptest {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Opens a pseudo-terminal; returns the master and sets *slave_name.
int OpenTerminal(std::string* slave_name) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return -1;
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname(master) == nullptr) {
    ::close(master);
    return -1;
  }
  *slave_name = ::ptsname(master);
  return master;
}

// Forks and execs `binary` with stdin from /dev/null, stdout to `out`, and stderr to `err`, to the
// terminal named `terminal` (in a session of its own, so that the pty becomes its terminal), to
// /dev/null when `err` is -2, or left as ours when -1. Returns the pid, or -1.
pid_t Spawn(const std::string& binary, const std::vector<std::string>& args, int out, int err,
            const std::string& terminal = "") {
  std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(out, STDOUT_FILENO);
  if (!terminal.empty()) {
    ::setsid();
    err = ::open(terminal.c_str(), O_RDWR);
    if (err < 0) ::_exit(126);
  } else if (err == -2) {
    err = ::open("/dev/null", O_WRONLY);
  }
  if (err >= 0) ::dup2(err, STDERR_FILENO);
  const int null_input = ::open("/dev/null", O_RDONLY);
  if (null_input >= 0) ::dup2(null_input, STDIN_FILENO);
  ::execv(binary.c_str(), argv.data());
  ::_exit(127);
}

int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

CommandResult RunCommand(const std::string& binary, const std::vector<std::string>& args,
                         const CommandOptions& options) {
  CommandResult result;
  int out_pipe[2], err_pipe[2] = {-1, -1};
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    result.err = "cannot make a pipe";
    return result;
  }
  std::string terminal;
  int err_read = -1;
  if (options.stderr_on_terminal) {
    err_read = OpenTerminal(&terminal);
  } else if (::pipe2(err_pipe, O_CLOEXEC) == 0) {
    err_read = err_pipe[0];
  }
  if (err_read < 0) {
    result.err = "cannot make the standard error channel";
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return result;
  }

  const pid_t pid = Spawn(binary, args, out_pipe[1], err_pipe[1], terminal);
  ::close(out_pipe[1]);
  if (err_pipe[1] >= 0) ::close(err_pipe[1]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    ::close(err_read);
    result.err = "cannot fork";
    return result;
  }

  const auto deadline = Clock::now() + std::chrono::seconds(options.timeout_seconds);
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_read, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_channels = 2;
  while (open_channels > 0) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    const int ready = ::poll(fds, 2, left);
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {  // end of file; a pty reports EIO once the child is gone
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_channels;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
  for (const struct pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  const int status = Reap(pid);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.exit_status = 128 + WTERMSIG(status);
  return result;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  CloseOutput();
}

bool ChildProcess::Start(const std::string& binary, const std::vector<std::string>& args, bool keep_stderr) {
  int out_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  pid_ = Spawn(binary, args, out_pipe[1], keep_stderr ? -1 : -2);
  ::close(out_pipe[1]);
  out_ = out_pipe[0];
  return pid_ > 0;
}

bool ChildProcess::AwaitOutput(int timeout_seconds) {
  struct pollfd fd = {out_, POLLIN, 0};
  return ::poll(&fd, 1, timeout_seconds * 1000) == 1 && (fd.revents & POLLIN) != 0;
}

bool ChildProcess::ReadLine(int timeout_seconds, std::string* line) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  line->clear();
  for (;;) {
    struct pollfd fd = {out_, POLLIN, 0};
    const int left = MillisecondsLeft(deadline);
    if (left == 0) return false;
    if (::poll(&fd, 1, left) <= 0) continue;
    char c;
    const ssize_t got = ::read(out_, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      CloseOutput();
      return false;
    }
    if (c == '\n') return true;
    line->push_back(c);
  }
}

void ChildProcess::CloseOutput() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

void ChildProcess::Signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

int ChildProcess::Wait() {
  if (pid_ <= 0) return -1;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    struct pollfd fd = {pidfd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&fd, 1, 20000)) < 0 && errno == EINTR) {
    }
    if (ready == 0) ::kill(pid_, SIGKILL);
    ::close(pidfd);
  }
  const int status = Reap(pid_);
  pid_ = -1;
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace snaptest
