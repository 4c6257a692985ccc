// clustersim: runs the cluster emulator until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "clustersim/options.h"
#include "clustersim/server.h"
#include "snap_version.h"

int main(int argc, char** argv) {
  clustersim::Options options;
  bool show_help = false;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "clustersim " << kSnapVersion << " (" << kSnapBuild << ")\n";
    return 0;
  }
  clustersim::Status status = clustersim::ParseCommandLine(args, &options, &show_help);
  if (show_help) {
    std::cout << clustersim::HelpText();
    return 0;
  }
  if (!status.ok()) {
    std::cerr << "clustersim: " << status.message() << "\n" << clustersim::UsageText();
    return 2;
  }

  // The test hooks need no token and can expire sessions or fail requests: not for other hosts to reach.
  if (options.test_hooks && !clustersim::IsLoopbackAddress(options.bind_address)) {
    std::cerr << "clustersim: warning: --test-hooks on " << options.bind_address
              << ", which is not a loopback address: anyone who reaches it can drive the fault switches\n";
  }

  // Block the stop signals before any thread starts, so that only sigwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  clustersim::Server server(options);
  status = server.Start();
  if (!status.ok()) {
    std::cerr << "clustersim: " << status.message() << "\n";
    return 1;
  }
  std::cout << server.ListeningLine() << std::endl;

  int received = 0;
  sigwait(&stop_signals, &received);
  server.Stop();
  return 0;
}
