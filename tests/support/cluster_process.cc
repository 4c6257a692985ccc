#include "snaptest/cluster_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace snaptest {

std::string ClusterSimBinary() { return CLUSTERSIM_BINARY; }

ClusterProcess::~ClusterProcess() { Stop(); }

bool ClusterProcess::Start(const std::vector<std::string>& args, int timeout_seconds) {
  if (running()) {
    error_ = "already running";
    return false;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::string binary = ClusterSimBinary();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::execv(binary.c_str(), argv.data());
    _exit(127);
  }
  ::close(fds[1]);
  pid_ = pid;
  stdout_fd_ = fds[0];

  // Wait for the one line that says the server is ready.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  std::string line;
  bool complete = false;
  while (!complete) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error_ = "no listening line within " + std::to_string(timeout_seconds) + " s";
      break;
    }
    struct pollfd pfd = {stdout_fd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char c;
    ssize_t n = ::read(stdout_fd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "clustersim exited before it was ready";
      break;
    }
    if (c == '\n') {
      complete = true;
    } else {
      line.push_back(c);
    }
  }
  const std::string prefix = "listening on ";
  size_t ca = line.find(" ca=");
  size_t pin = line.rfind(" pin=");
  if (complete && (line.compare(0, prefix.size(), prefix) != 0 || ca == std::string::npos ||
                   pin == std::string::npos || pin < ca)) {
    error_ = "unexpected first line: " + line;
    complete = false;
  }
  if (!complete) {
    int status = Stop();
    if (status >= 0) error_ += " (exit status " + std::to_string(status) + ")";
    return false;
  }
  line_ = line;
  url_ = line.substr(prefix.size(), ca - prefix.size());
  ca_path_ = line.substr(ca + 4, pin - ca - 4);
  pin_ = line.substr(pin + 5);
  return true;
}

int ClusterProcess::Stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  // A child that ignores SIGTERM for 20 s is killed, so that a hung emulator
  // fails its test instead of hanging it.
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    struct pollfd pfd = {pidfd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&pfd, 1, 20000)) < 0 && errno == EINTR) {
    }
    if (ready == 0) ::kill(pid_, SIGKILL);
    ::close(pidfd);
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  stdout_fd_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace snaptest
