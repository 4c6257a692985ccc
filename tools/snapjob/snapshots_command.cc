#include "snapshots_command.h"

#include <cstdio>
#include <list>

#include "change_output.h"
#include "closing_record.h"
#include "cluster_session.h"
#include "error_report.h"
#include "exit_codes.h"
#include "job_records.h"
#include "snapshot_names.h"

namespace snapjob {
namespace {

int Failed(const std::string& operation, const CQiError& error, const SnapshotsOptions& options) {
  std::fputs(DescribeFailure(operation, error, options.connection).c_str(), stderr);
  WriteClosingRecord(FailureRecord(operation, error, kExitFailed));
  return kExitFailed;
}

// The cluster's snapshots, or an exit status other than kExitOk with the cause reported.
int ListAll(const SnapshotsOptions& options, ClusterSession* session, std::list<Qumulo::CSnapshotInfo>* listed) {
  if (options.output == OutputFormat::kJsonl) EnableClosingRecord();
  std::string problem;
  CQiError error;
  if (!session->Open(options.connection, &problem, &error)) {
    if (!problem.empty()) {
      std::fprintf(stderr, "snapjob: %s\n", problem.c_str());
      WriteClosingRecord(DriverErrorRecord("setup", problem, kExitUsage));
      return kExitUsage;
    }
    return Failed("Connect", error, options);
  }
  error = session->snapshots().ListSnapshots(*listed);
  if (error.IsError()) return Failed("ListSnapshots", error, options);
  return kExitOk;
}

std::string Field(bool parsed, const std::string& value) { return parsed ? value : "-"; }

// Also after a failure, so that the closing record is out.
int Finish(int status) {
  std::fflush(stdout);
  if (std::ferror(stdout)) {
    std::fprintf(stderr, "snapjob: writing standard output failed\n");
    return kExitFailed;
  }
  return status;
}

}  // namespace

int SnapshotsList(const SnapshotsOptions& options) {
  ClusterSession session;
  std::list<Qumulo::CSnapshotInfo> listed;
  const int status = ListAll(options, &session, &listed);
  if (status != kExitOk) return Finish(status);

  const bool text = options.output == OutputFormat::kText;
  uint64_t own_count = 0;
  if (text)
    std::printf("%-3s  %-10s  %-10s  %-10s  %-20s  %-20s  %s\n", "OWN", "ID", "CLIENT", "APP", "JOB", "DIR", "NAME");
  for (const Qumulo::CSnapshotInfo& snapshot : listed) {
    SnapshotName name;
    const bool parsed = ParseSnapshotName(snapshot.m_name, &name);
    const bool own =
        parsed && name.client == options.connection.client_id && (!options.has_app_id || name.app == options.app_id);
    if (text) {
      std::printf("%-3s  %-10llu  %-10s  %-10s  %-20s  %-20s  %s%s\n", own ? "*" : "",
                  static_cast<unsigned long long>(snapshot.m_id), Field(parsed, std::to_string(name.client)).c_str(),
                  Field(parsed, std::to_string(name.app)).c_str(), Field(parsed, std::to_string(name.job)).c_str(),
                  Field(parsed, std::to_string(name.directory)).c_str(), Printable(snapshot.m_name).c_str(),
                  snapshot.m_inDelete ? "  (being deleted)" : "");
      continue;
    }
    JsonRecord record("snapshot");
    record.Text("name", snapshot.m_name).Id("id", snapshot.m_id).Text("directory", snapshot.m_directoryName);
    record.Id("source_file_id", snapshot.m_sourceFileId).Bool("in_delete", snapshot.m_inDelete);
    record.Bool("parsed", parsed).Bool("own", own);
    if (parsed) {
      record.Id("client", name.client).Id("app", name.app).SignedId("job", name.job);
      record.Id("directory_number", name.directory);
    }
    own_count += own ? 1 : 0;
    const std::string line = record.Line();
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  WriteClosingRecord(JsonRecord("summary").Number("snapshots", listed.size()).Number("own", own_count).Line());
  return Finish(kExitOk);
}

int SnapshotsDelete(const SnapshotsOptions& options) {
  ClusterSession session;
  std::list<Qumulo::CSnapshotInfo> listed;
  int status = ListAll(options, &session, &listed);
  if (status != kExitOk) return Finish(status);

  const bool text = options.output == OutputFormat::kText;
  size_t count = 0;
  for (const Qumulo::CSnapshotInfo& snapshot : listed) {
    SnapshotName name;
    // One already being deleted is left to the cluster.
    if (snapshot.m_inDelete || !ParseSnapshotName(snapshot.m_name, &name) ||
        name.client != options.connection.client_id || name.app != options.app_id || name.job != options.job) {
      continue;
    }
    if (!options.dry_run) {
      const CQiError error = session.snapshots().DeleteSnapshot(static_cast<unsigned long>(snapshot.m_id));
      if (error.IsError()) {
        status = Failed("DeleteSnapshot", error, options);
        break;
      }
    }
    ++count;
    if (text) {
      std::printf("%s %s (id %llu)\n", options.dry_run ? "would delete" : "deleted", Printable(snapshot.m_name).c_str(),
                  static_cast<unsigned long long>(snapshot.m_id));
    } else {
      const std::string line = JsonRecord("deleted")
                                   .Text("name", snapshot.m_name)
                                   .Id("id", snapshot.m_id)
                                   .Bool("dry_run", options.dry_run)
                                   .Line();
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  }
  if (status == kExitOk) {
    WriteClosingRecord(JsonRecord("summary")
                           .Number("snapshots", count)
                           .Bool("dry_run", options.dry_run)
                           .Line());
  }
  if (text && status == kExitOk) {
    std::printf("%s %zu snapshot%s of client %u, application %u, job %lld\n",
                options.dry_run ? "would delete" : "deleted", count, count == 1 ? "" : "s",
                options.connection.client_id, options.app_id, static_cast<long long>(options.job));
  }
  return Finish(status);
}

}  // namespace snapjob
