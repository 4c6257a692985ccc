// Runs one backup job through a loaded plug-in, in the agent's order of calls: GetSnapClient,
// Initialize, VerifySnapScanSupport, ConfigureSnapshot, UpdateContentMapperPaths (or, for
// auto-mounted shares, RepopulateContentMapperPaths), for an incremental job CompareSnapshots and
// the item callable of every backup path until the end-of-list item, CleanupSnapshotsPostBackup,
// DeleteAutoMountFailedSnapshots, and deleting the client through the base pointer.
// Not thread-safe: one job at a time per process, as the plug-in's mount-table cache requires.
#ifndef SNAPJOB_JOB_RUNNER_H_
#define SNAPJOB_JOB_RUNNER_H_

#include <string>
#include <utility>
#include <vector>

#include "ContentMapperAPI.h"
#include "QiError.h"
#include "change_output.h"
#include "cluster_session.h"
#include "options.h"
#include "plugin_loader.h"
#include "progress_meter.h"

namespace snapjob {

struct JobResult {
  bool ok = false;
  std::string failed_operation;  // the plug-in operation that failed, when !ok
  CQiError error;
  // The content mapper after the job: maps every scan path to the path that is read instead.
  // Null when the job failed before it had one. It may hold code of the plug-in, so it must be
  // released before the plug-in library is closed.
  ContentMapperAPIPtr content_mapper;
  std::vector<std::pair<std::string, ChangeCounts>> changes;  // per backup path, incremental jobs
};

// `session` is the driver's own connection for the JSON-lines records (opened when needed).
JobResult RunJob(const PluginLibrary& plugin, const RunOptions& options, ClusterSession* session,
                 ChangeWriter* writer, ProgressMeter* meter);

}  // namespace snapjob

#endif  // SNAPJOB_JOB_RUNNER_H_
