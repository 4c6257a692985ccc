// snapjob: the stand-in for the backup agent. Loads the snapshot plug-in as the agent does and
// runs backup jobs through it.

#include <cstdio>
#include <string>
#include <vector>

#include "demo.h"
#include "exit_codes.h"
#include "options.h"
#include "run_command.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  snapjob::CommandLine line;
  std::string error;
  if (!snapjob::ParseCommandLine(args, &line, &error)) {
    std::fprintf(stderr, "snapjob: %s\n\n%s", error.c_str(), snapjob::UsageText().c_str());
    return snapjob::kExitUsage;
  }
  switch (line.command) {
    case snapjob::CommandLine::Command::kRun:
      return snapjob::RunCommand(line.run);
    case snapjob::CommandLine::Command::kDemo:
      return snapjob::RunDemo(line.demo);
    case snapjob::CommandLine::Command::kHelp:
      break;
  }
  std::fputs(snapjob::UsageText().c_str(), stdout);
  return snapjob::kExitOk;
}
