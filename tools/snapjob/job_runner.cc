#include "job_runner.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <list>
#include <new>

#include <boost/make_shared.hpp>

#include "ContentMapper.h"
#include "FXErrorUtil.h"
#include "job_records.h"
#include "status_line.h"

namespace snapjob {
namespace {

const char kRunJob[] = "snapjob::RunJob";

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// Pulls one path's change list to its end-of-list item.
ChangeCounts DrainChanges(const std::string& backup_path, std::function<FileServerSnapshotCompareItem()>& next,
                          ChangeWriter* writer, ProgressMeter* meter) {
  ChangeCounts counts;
  meter->Start("changes of " + backup_path, true);
  for (;;) {
    const FileServerSnapshotCompareItem item = next();
    if (item.m_changeType == kFileServerChangeEndOfList) break;
    writer->Item(backup_path, item);
    counts.Count(item);
    meter->Add(1);
  }
  meter->Finish();
  writer->PathDone(backup_path, counts);
  return counts;
}

class JobRun {
 public:
  JobRun(const PluginLibrary& plugin, const RunOptions& options, ClusterSession* session, ChangeWriter* writer,
         ProgressMeter* meter)
      : plugin_(plugin), options_(options), session_(session), writer_(writer), meter_(meter) {}

  JobResult Run() {
    JobLogTap::Instance().Reset();
    client_ = plugin_.NewSnapClient();
    if (!client_) {
      Fail("GetSnapClient", FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", kRunJob, __LINE__), 14,
                                                   "GetSnapClient returned no snap client"));
      return std::move(result_);
    }
    if (!Steps()) {
      // The agent tells the plug-in that the backup did not succeed before it lets go.
      client_->CleanupSnapshotsPostBackup(false).IgnoreError();
    }
    client_.reset();
    writer_->Flush();
    return std::move(result_);
  }

 private:
  bool Steps() {
    const bool auto_mount = !options_.auto_mount_root.empty();
    // With auto-mounted shares the agent hands its content mapper to Initialize, which switches
    // the plug-in's export lookup to the auto-mount form of the paths.
    if (auto_mount) result_.content_mapper = boost::make_shared<CContentMapper>();

    if (!Check("Initialize", client_->Initialize(options_.job, options_.connection.client_id, options_.app_id1,
                                                 options_.app_id2, "", "", options_.map_file,
                                                 options_.previous_job, 0, 0, 0, result_.content_mapper))) {
      return false;
    }
    if (!Check("VerifySnapScanSupport", client_->VerifySnapScanSupport())) return false;

    std::list<std::string> paths(options_.backup_paths.begin(), options_.backup_paths.end());
    const std::list<std::string> no_filters;
    const bool configured = Check("ConfigureSnapshot", client_->ConfigureSnapshot(paths, no_filters, no_filters));
    // What it made and deleted is told also when it failed half way, before the failure.
    const bool recorded = WriteSnapshotRecords(configured);
    if (!configured || !recorded) return false;
    TellPathsWithoutPrevious();

    if (auto_mount) {
      if (!Check("RepopulateContentMapperPaths", client_->RepopulateContentMapperPaths(result_.content_mapper))) {
        return false;
      }
    } else if (!Check("UpdateContentMapperPaths", client_->UpdateContentMapperPaths(result_.content_mapper))) {
      return false;
    }
    if (options_.output == OutputFormat::kJsonl) writer_->Record(MapRecord(options_));

    for (const std::string& path : options_.backup_paths) {
      if (!options_.incremental) {
        const std::string scan_path = WithTrailingSlash(path);
        writer_->FullPath(path, result_.content_mapper ? result_.content_mapper->MapPath(scan_path) : scan_path);
        continue;
      }
      std::function<FileServerSnapshotCompareItem()> next;
      meter_->Start("fetching changes of " + path, false);
      const CQiError compared = client_->CompareSnapshots(path, path, next);
      meter_->Finish();
      if (!Check("CompareSnapshots", compared)) return false;
      if (!next) {
        return Check("CompareSnapshots",
                     FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", kRunJob, __LINE__), 1627,
                                             "CompareSnapshots succeeded but gave no item callable"));
      }
      // The item callable lets an allocation failure through with the item still pending, rather
      // than end the list early; the agent then fails the backup instead of taking a short list.
      try {
        result_.changes.emplace_back(path, DrainChanges(path, next, writer_, meter_));
      } catch (const std::bad_alloc&) {
        meter_->Finish();
        return Check("change item", FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", kRunJob, __LINE__), 14,
                                                            "Out of memory while taking a change item of %s",
                                                            path.c_str()));
      } catch (const std::exception& e) {
        meter_->Finish();
        return Check("change item", FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", kRunJob, __LINE__), 1627,
                                                            "Taking a change item of %s failed: %s", path.c_str(),
                                                            e.what()));
      }
    }

    if (!Check("CleanupSnapshotsPostBackup", client_->CleanupSnapshotsPostBackup(true))) return false;
    const std::list<std::string> no_failed_mounts;
    if (!Check("DeleteAutoMountFailedSnapshots", client_->DeleteAutoMountFailedSnapshots(no_failed_mounts))) {
      return false;
    }
    result_.ok = true;
    return true;
  }

  // The snapshot, previous and deleted records (JSON lines only). A failure to read them is the
  // job's failure when nothing else failed.
  bool WriteSnapshotRecords(bool job_ok) {
    if (options_.output != OutputFormat::kJsonl) return true;
    // A job that failed before it changed anything needs no records, nor another trip to a
    // cluster that may be what failed.
    if (!job_ok && JobLogTap::Instance().Created().empty() && JobLogTap::Instance().Deleted().empty()) return true;
    std::vector<std::string> records;
    std::string operation;
    CQiError error;
    if (!SnapshotRecords(options_, session_, &records, &operation, &error)) {
      if (job_ok) Fail(operation, error);
      return false;
    }
    for (const std::string& record : records) writer_->Record(record);
    return true;
  }

  // An incremental job takes a path without a snapshot of the previous job whole: all of it new.
  void TellPathsWithoutPrevious() {
    if (!options_.incremental) return;
    for (std::string path : JobLogTap::Instance().WithoutPrevious()) {
      if (path.size() > 1 && path.back() == '/') path.pop_back();
      const std::string notice = "snapjob: " + path + " has no snapshot of previous job " +
                                 std::to_string(options_.previous_job) + ": all of it comes as new\n";
      StatusLine::Stderr().WriteAbove([&] { std::fputs(notice.c_str(), stderr); });
    }
  }

  bool Check(const char* operation, const CQiError& error) {
    if (!error.IsError()) return true;
    Fail(operation, error);
    return false;
  }

  void Fail(const std::string& operation, const CQiError& error) {
    result_.ok = false;
    result_.failed_operation = operation;
    result_.error = error;
  }

  const PluginLibrary& plugin_;
  const RunOptions& options_;
  ClusterSession* session_;
  ChangeWriter* writer_;
  ProgressMeter* meter_;
  SnapClientPtr client_;
  JobResult result_;
};

}  // namespace

JobResult RunJob(const PluginLibrary& plugin, const RunOptions& options, ClusterSession* session,
                 ChangeWriter* writer, ProgressMeter* meter) {
  return JobRun(plugin, options, session, writer, meter).Run();
}

}  // namespace snapjob
