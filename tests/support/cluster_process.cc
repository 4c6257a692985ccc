#include "snaptest/cluster_process.h"

#include <signal.h>

namespace snaptest {

std::string ClusterSimBinary() { return CLUSTERSIM_BINARY; }

ClusterProcess::~ClusterProcess() { Stop(); }

bool ClusterProcess::Start(const std::vector<std::string>& args, int timeout_seconds) {
  if (running()) {
    error_ = "already running";
    return false;
  }
  if (!child_.Start(ClusterSimBinary(), args, /*keep_stderr=*/true)) {
    error_ = "cannot start clustersim";
    return false;
  }
  // Wait for the one line that says the server is ready.
  std::string line;
  bool complete = child_.ReadLine(timeout_seconds, &line);
  if (!complete) {
    error_ = child_.output_open() ? "no listening line within " + std::to_string(timeout_seconds) + " s"
                                  : "clustersim exited before it was ready";
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
  if (!running()) return -1;
  child_.Signal(SIGTERM);
  const int status = child_.Wait();
  child_.CloseOutput();
  return status;
}

void ClusterProcess::Kill() {
  if (!running()) return;
  child_.Signal(SIGKILL);
  child_.Wait();
  child_.CloseOutput();
}

}  // namespace snaptest
