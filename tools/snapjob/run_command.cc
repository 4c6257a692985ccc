#include "run_command.h"

#include <cstdio>

#include "agent_setup.h"
#include "change_output.h"
#include "cluster_session.h"
#include "error_report.h"
#include "exit_codes.h"
#include "job_records.h"
#include "job_runner.h"
#include "log_writer.h"
#include "plugin_loader.h"
#include "progress_meter.h"

namespace snapjob {

int RunCommand(const RunOptions& options) {
  std::string error;
  // The plug-in would only say it found no host name or no credentials; the cause is told here.
  RegistryCheck registry;
  if (!CheckRegistry(options.connection, &registry, &error)) {
    std::fprintf(stderr, "snapjob: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!ConfigureAgent(options, &error)) {
    std::fprintf(stderr, "snapjob: %s\n", error.c_str());
    return kExitUsage;
  }
  const std::string plugin_path = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  std::unique_ptr<PluginLibrary> plugin = PluginLibrary::Open(plugin_path, &error);
  if (!plugin) {
    std::fprintf(stderr, "snapjob: %s\n", error.c_str());
    return kExitFailed;
  }

  std::unique_ptr<ChangeWriter> writer = NewChangeWriter(options.output, stdout);
  ProgressMeter meter(&StatusLine::Stderr());
  JobResult result = RunJob(*plugin, options, writer.get(), &meter);
  if (!result.ok) {
    const std::string report = DescribeFailure(result.failed_operation, result.error);
    StatusLine::Stderr().WriteAbove([&] { std::fputs(report.c_str(), stderr); });
    writer->Record(ErrorRecord(result.failed_operation, result.error));
  }
  result.content_mapper.reset();  // before the plug-in goes
  // The job's result stands; whoever reads the log must know that lines are missing from it.
  if (LogIncomplete()) {
    StatusLine::Stderr().WriteAbove([&] {
      std::fprintf(stderr, "snapjob: the log (%s) is incomplete: some of its lines could not be written\n",
                   options.log_file.empty() ? "standard error" : options.log_file.c_str());
    });
  }
  if (std::ferror(stdout) || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "snapjob: writing the change list failed\n");
    return kExitFailed;
  }
  return result.ok ? kExitOk : kExitFailed;
}

}  // namespace snapjob
