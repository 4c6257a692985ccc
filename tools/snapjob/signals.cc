#include "signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "closing_record.h"

namespace snapjob {
namespace {

constexpr int kLockAttempts = 250;
constexpr useconds_t kLockPauseMicroseconds = 2000;  // half a second in all

// SIGPIPE means nobody reads standard output any more, so nothing there is worth flushing; the
// log's lines are flushed as they are written. Only async-signal-safe work here.
void OnBrokenPipe(int signal_number) { ::_exit(128 + signal_number); }

}  // namespace

void InstallStopSignals() {
  struct sigaction pipe_action = {};
  pipe_action.sa_handler = OnBrokenPipe;
  sigemptyset(&pipe_action.sa_mask);
  ::sigaction(SIGPIPE, &pipe_action, nullptr);

  // Blocked here, so in every thread started later; one thread takes them where flushing stdio
  // and the log writer is safe.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::thread([stop] {
    int received = 0;
    if (::sigwait(&stop, &received) != 0) return;
    // A writer blocked on a full pipe holds the stream; once its reader takes the rest, the writer
    // parks before its next record and the stream is free. A reader that never comes leaves it.
    // The log needs nothing: its lines are flushed as they are written.
    MarkStopping();
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
      // Held until the exit, so that nothing follows the closing record.
      if (::ftrylockfile(stdout) == 0) {
        WriteSignalRecord(received);
        std::fflush(stdout);
        break;
      }
      ::usleep(kLockPauseMicroseconds);
    }
    ::_exit(128 + received);
  }).detach();
}

}  // namespace snapjob
