// snapjob: the stand-in for the backup agent. Loads the snapshot plug-in as the agent does and
// runs backup jobs through it; also the operator's view of the plug-in's snapshots.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "closing_record.h"
#include "demo.h"
#include "exit_codes.h"
#include "fingerprint.h"
#include "options.h"
#include "run_command.h"
#include "signals.h"
#include "snapshots_command.h"

namespace {

int Main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  snapjob::CommandLine line;
  std::string error, topic;
  if (!snapjob::ParseCommandLine(args, &line, &error, &topic)) {
    std::fputs(snapjob::UsageError(error, topic).c_str(), stderr);
    // A program that asked for JSON lines gets its closing record even for a bad command line.
    if (snapjob::AsksForJsonLines(args)) {
      snapjob::EnableClosingRecord();
      snapjob::WriteClosingRecord(snapjob::DriverErrorRecord("usage", error, snapjob::kExitUsage));
    }
    return snapjob::kExitUsage;
  }
  switch (line.command) {
    case snapjob::CommandLine::Command::kRun:
      return snapjob::RunCommand(line.run);
    case snapjob::CommandLine::Command::kDemo:
      return snapjob::RunDemo(line.demo);
    case snapjob::CommandLine::Command::kFingerprint:
      return snapjob::FingerprintCommand(line.fingerprint);
    case snapjob::CommandLine::Command::kSnapshotsList:
      return snapjob::SnapshotsList(line.snapshots);
    case snapjob::CommandLine::Command::kSnapshotsDelete:
      return snapjob::SnapshotsDelete(line.snapshots);
    case snapjob::CommandLine::Command::kVersion:
      std::fputs(snapjob::VersionText().c_str(), stdout);
      return snapjob::kExitOk;
    case snapjob::CommandLine::Command::kHelp:
      break;
  }
  std::string text;
  snapjob::HelpText(line.help_topic, &text);
  std::fputs(text.c_str(), stdout);
  return snapjob::kExitOk;
}

// The closing record of a run that ended in an exception; memory may run out again on the way.
void CloseWithError(const std::string& reason) {
  try {
    snapjob::WriteClosingRecord(snapjob::DriverErrorRecord("snapjob", reason, snapjob::kExitFailed));
  } catch (const std::exception&) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  snapjob::InstallStopSignals();
  // The plug-in returns its failures as values; what the driver itself cannot allocate (a huge
  // change list's records, an error report) must end the job with a message, not an abort.
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("snapjob: out of memory\n", stderr);
    CloseWithError("out of memory");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snapjob: unexpected failure: %s\n", e.what());
    CloseWithError(std::string("unexpected failure: ") + e.what());
  }
  std::fflush(stdout);
  return snapjob::kExitFailed;
}
