#include "run_command.h"

#include <cstdio>

#include "FXErrorUtil.h"
#include "agent_setup.h"
#include "change_output.h"
#include "closing_record.h"
#include "cluster_session.h"
#include "error_report.h"
#include "exit_codes.h"
#include "file_checks.h"
#include "job_records.h"
#include "job_runner.h"
#include "log_writer.h"
#include "plugin_loader.h"
#include "previous_job_guard.h"
#include "progress_meter.h"

namespace snapjob {
namespace {

// A setting that cannot be used: one line on standard error, and the closing record.
int Refuse(const std::string& reason) {
  std::fprintf(stderr, "snapjob: %s\n", reason.c_str());
  WriteClosingRecord(DriverErrorRecord("setup", reason, kExitUsage));
  return kExitUsage;
}

// Every check that needs no plug-in, the local ones first; kExitOk when the job may go on.
int CheckSettings(const RunOptions& options, ClusterSession* session) {
  std::string error;
  // The plug-in would only say it found no host name or no credentials; the cause is told here.
  RegistryCheck registry;
  if (!CheckRegistry(options.connection, &registry, &error)) return Refuse(error);
  error = CaFileProblem(options.connection.ca_file);
  if (!error.empty()) return Refuse(error);
  // The plug-in writes the map file after it made and deleted snapshots: too late to find out.
  error = MapFileProblem(options.map_file);
  if (!error.empty()) return Refuse(error);
  if (!ConfigureAgent(options, &error)) return Refuse(error);

  const PreviousJobCheck previous = CheckPreviousJob(options, session);
  switch (previous.verdict) {
    case PreviousJobCheck::Verdict::kRefuse:
      return Refuse(previous.text);
    case PreviousJobCheck::Verdict::kFailed:
      std::fputs(DescribeFailure(previous.operation, previous.error, options.connection).c_str(), stderr);
      WriteClosingRecord(FailureRecord(previous.operation, previous.error, kExitFailed));
      return kExitFailed;
    case PreviousJobCheck::Verdict::kProceed:
      if (!previous.text.empty()) std::fprintf(stderr, "snapjob: %s\n", previous.text.c_str());
      break;
  }
  return kExitOk;
}

}  // namespace

int RunCommand(const RunOptions& options) {
  if (options.output == OutputFormat::kJsonl) EnableClosingRecord();
  ClusterSession session;
  const int checked = CheckSettings(options, &session);
  if (checked != kExitOk) return checked;

  std::string error;
  const std::string plugin_path = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  std::unique_ptr<PluginLibrary> plugin = PluginLibrary::Open(plugin_path, &error);
  if (!plugin) {
    std::fprintf(stderr, "snapjob: %s\n", error.c_str());
    WriteClosingRecord(DriverErrorRecord("LoadPlugin", error, kExitFailed));
    std::fflush(stdout);
    return kExitFailed;
  }

  std::unique_ptr<ChangeWriter> writer = NewChangeWriter(options.output, stdout);
  ProgressMeter meter(&StatusLine::Stderr());
  JobResult result = RunJob(*plugin, options, &session, writer.get(), &meter);
  if (result.ok) {
    ChangeCounts total;
    for (const auto& path : result.changes) {
      total.created += path.second.created;
      total.modified += path.second.modified;
      total.deleted += path.second.deleted;
      total.other += path.second.other;
    }
    WriteClosingRecord(JobSummaryRecord(options, total));
  } else {
    const std::string report = DescribeFailure(result.failed_operation, result.error, options.connection);
    StatusLine::Stderr().WriteAbove([&] { std::fputs(report.c_str(), stderr); });
    WriteClosingRecord(FailureRecord(result.failed_operation, result.error, kExitFailed));
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
