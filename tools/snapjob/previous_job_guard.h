// The check that keeps a job from breaking the snapshot chain: reconciliation keeps only the
// snapshots of this job and of its previous job, so a wrong previous job would have it delete the
// real previous job's snapshots as stale. Before the plug-in is loaded, the cluster's snapshots of
// this client and application are listed; a previous job with none while other jobs have some is
// refused. Not thread-safe.
#ifndef SNAPJOB_PREVIOUS_JOB_GUARD_H_
#define SNAPJOB_PREVIOUS_JOB_GUARD_H_

#include <string>

#include "QiError.h"
#include "cluster_session.h"
#include "options.h"

namespace snapjob {

struct PreviousJobCheck {
  enum class Verdict { kProceed, kRefuse, kFailed };
  Verdict verdict = Verdict::kProceed;
  std::string text;       // kRefuse: the reason; kProceed: a notice for standard error, or ""
  std::string operation;  // kFailed: the step that failed, with its error
  CQiError error;
};

// Connects through `session` only when the job names a previous job.
PreviousJobCheck CheckPreviousJob(const RunOptions& options, ClusterSession* session);

}  // namespace snapjob

#endif  // SNAPJOB_PREVIOUS_JOB_GUARD_H_
