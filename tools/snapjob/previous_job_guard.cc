#include "previous_job_guard.h"

#include <list>
#include <set>

#include "FXErrorUtil.h"
#include "snapshot_names.h"

namespace snapjob {
namespace {

constexpr size_t kJobsNamed = 8;  // the newest ones; enough to spot a typo

std::string JobList(const std::set<int64_t>& jobs) {
  std::string text;
  size_t skipped = jobs.size() > kJobsNamed ? jobs.size() - kJobsNamed : 0;
  size_t index = 0;
  for (int64_t job : jobs) {
    if (index++ < skipped) continue;
    text += (text.empty() ? "" : ", ") + std::to_string(job);
  }
  if (skipped != 0) text += " (and " + std::to_string(skipped) + " older)";
  return text;
}

}  // namespace

PreviousJobCheck CheckPreviousJob(const RunOptions& options, ClusterSession* session) {
  PreviousJobCheck check;
  if (options.previous_job == 0) return check;
  std::string problem;
  std::list<Qumulo::CSnapshotInfo> listed;
  if (!session->Open(options.connection, &problem, &check.error)) {
    check.verdict = PreviousJobCheck::Verdict::kFailed;
    check.operation = "Connect";
    if (!problem.empty()) {
      check.error = FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", "snapjob::CheckPreviousJob", __LINE__), 1627,
                                            "%s", problem.c_str());
    }
    return check;
  }
  check.error = session->snapshots().ListSnapshots(listed);
  if (check.error.IsError()) {
    check.verdict = PreviousJobCheck::Verdict::kFailed;
    check.operation = "ListSnapshots";
    return check;
  }

  // This job's own snapshots (a job run again) are kept by reconciliation whatever happens.
  std::set<int64_t> others;
  bool previous_found = false;
  for (const Qumulo::CSnapshotInfo& snapshot : listed) {
    SnapshotName name;
    if (snapshot.m_inDelete || !ParseSnapshotName(snapshot.m_name, &name) ||
        name.client != options.connection.client_id || name.app != options.app_id2) {
      continue;
    }
    if (name.job == options.previous_job) previous_found = true;
    if (name.job != options.job) others.insert(name.job);
  }
  if (previous_found) return check;

  const std::string whose =
      "client " + std::to_string(options.connection.client_id) + ", application " + std::to_string(options.app_id2);
  const std::string previous = std::to_string(options.previous_job);
  if (others.empty()) {
    check.text = "previous job " + previous + " has no snapshot: no job of " + whose +
                 " has one on the cluster yet (a first job), so every backup path comes as new";
  } else if (options.allow_missing_previous) {
    check.text = "previous job " + previous + " has no snapshot of " + whose + " (jobs with snapshots: " +
                 JobList(others) + "); --allow-missing-previous: every backup path comes as new, and those " +
                 "snapshots are deleted as stale";
  } else {
    check.verdict = PreviousJobCheck::Verdict::kRefuse;
    check.text = "previous job " + previous + " has no snapshot of " + whose + " on the cluster, but " +
                 (others.size() == 1 ? "job " : "jobs ") + JobList(others) + (others.size() == 1 ? " has" : " have") +
                 ": this job would delete their snapshots as stale. Name the right " +
                 "--previous-job, or give --allow-missing-previous to back up every path as new";
  }
  return check;
}

}  // namespace snapjob
