#include "job_records.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <list>

#include "FXErrorUtil.h"
#include "cluster_session.h"
#include "json_text.h"
#include "log_writer.h"
#include "snapshot_names.h"

namespace snapjob {
namespace {

const char kClusterPathLine[] = "Backup Path [%s] => Qumulo Filesystem Path [%s]";
const char kDeletingLine[] = "Deleting snapshot [%s] ID [%llu]";
const char kCreatedLine[] = "Created Snapshot %s";
const char kNoPreviousLine[] =
    "Previous snapshot [%s] not found in qumulo cluster. Disabling snapshot comparison for this path : %s";

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

JsonRecord::JsonRecord(const char* kind) : text_("{\"record\":\"") { text_ += kind + std::string("\""); }

void JsonRecord::Key(const char* key) {
  text_ += ",\"";
  text_ += key;
  text_ += "\":";
}

JsonRecord& JsonRecord::Text(const char* key, const std::string& value) {
  Key(key);
  if (!AppendJsonString(text_, value)) {
    Key((std::string(key) + "_bytes").c_str());
    text_ += "\"" + HexBytes(value) + "\"";
  }
  return *this;
}

JsonRecord& JsonRecord::Number(const char* key, uint64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonRecord& JsonRecord::Id(const char* key, uint64_t value) {
  Key(key);
  text_ += "\"" + std::to_string(value) + "\"";
  return *this;
}

JsonRecord& JsonRecord::SignedId(const char* key, int64_t value) {
  Key(key);
  text_ += "\"" + std::to_string(value) + "\"";
  return *this;
}

JsonRecord& JsonRecord::Bool(const char* key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonRecord& JsonRecord::Null(const char* key) {
  Key(key);
  text_ += "null";
  return *this;
}

JsonRecord& JsonRecord::TextList(const char* key, const std::vector<std::string>& values) {
  Key(key);
  text_ += "[";
  bool exact = true;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) text_ += ",";
    exact = AppendJsonString(text_, values[i]) && exact;
  }
  text_ += "]";
  if (!exact) {
    Key((std::string(key) + "_bytes").c_str());
    text_ += "[";
    for (size_t i = 0; i < values.size(); ++i) text_ += (i ? ",\"" : "\"") + HexBytes(values[i]) + "\"";
    text_ += "]";
  }
  return *this;
}

JobLogTap& JobLogTap::Instance() {
  static JobLogTap tap;
  return tap;
}

void JobLogTap::Observe(const char* format, va_list args) {
  // The formats are compared as text: the plug-in's are its own string constants.
  if (std::strcmp(format, kClusterPathLine) == 0) {
    const char* backup = va_arg(args, const char*);
    const char* cluster = va_arg(args, const char*);
    std::lock_guard<std::mutex> lock(mutex_);
    last_backup_path_ = WithTrailingSlash(backup ? backup : "");
    cluster_paths_[last_backup_path_] = cluster ? cluster : "";
  } else if (std::strcmp(format, kCreatedLine) == 0) {
    // Made right after its path was resolved, which the line before named.
    const char* name = va_arg(args, const char*);
    std::lock_guard<std::mutex> lock(mutex_);
    created_[last_backup_path_] = name ? name : "";
  } else if (std::strcmp(format, kNoPreviousLine) == 0) {
    va_arg(args, const char*);
    const char* backup = va_arg(args, const char*);
    std::lock_guard<std::mutex> lock(mutex_);
    without_previous_.push_back(backup ? backup : "");
  } else if (std::strcmp(format, kDeletingLine) == 0) {
    const char* name = va_arg(args, const char*);
    const unsigned long long id = va_arg(args, unsigned long long);
    std::lock_guard<std::mutex> lock(mutex_);
    deleted_.emplace_back(name ? name : "", id);
  }
}

void JobLogTap::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  last_backup_path_.clear();
  cluster_paths_.clear();
  created_.clear();
  without_previous_.clear();
  deleted_.clear();
}

std::map<std::string, std::string> JobLogTap::ClusterPaths() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cluster_paths_;
}

std::map<std::string, std::string> JobLogTap::Created() {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

std::vector<std::string> JobLogTap::WithoutPrevious() {
  std::lock_guard<std::mutex> lock(mutex_);
  return without_previous_;
}

std::vector<std::pair<std::string, uint64_t>> JobLogTap::Deleted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return deleted_;
}

bool SnapshotRecords(const RunOptions& options, ClusterSession* session, std::vector<std::string>* lines,
                     std::string* operation, CQiError* error) {
  std::string problem;
  std::list<Qumulo::CSnapshotInfo> listed;
  if (!session->opened() && !session->Open(options.connection, &problem, error)) {
    *operation = "Connect";
    if (!problem.empty())
      *error = FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", "snapjob::SnapshotRecords", __LINE__), 1627, "%s",
                                       problem.c_str());
    return false;
  }
  *error = session->snapshots().ListSnapshots(listed);
  if (error->IsError()) {
    *operation = "ListSnapshots";
    return false;
  }
  auto find = [&listed](const std::string& name, uint64_t source) -> const Qumulo::CSnapshotInfo* {
    const Qumulo::CSnapshotInfo* found = nullptr;
    for (const Qumulo::CSnapshotInfo& snapshot : listed) {
      if (!snapshot.m_inDelete && snapshot.m_name == name && (source == 0 || snapshot.m_sourceFileId == source))
        found = &snapshot;
    }
    return found;
  };

  const std::map<std::string, std::string> cluster_paths = JobLogTap::Instance().ClusterPaths();
  const std::map<std::string, std::string> created = JobLogTap::Instance().Created();
  for (const std::string& path : options.backup_paths) {
    const auto made = created.find(WithTrailingSlash(path));
    if (made == created.end()) continue;  // the job failed before it came to this path
    const Qumulo::CSnapshotInfo* current = find(made->second, 0);
    const auto cluster_path = cluster_paths.find(made->first);
    JsonRecord record("snapshot");
    record.Text("backup_path", path).Text("name", made->second);
    if (current)
      record.Id("id", current->m_id).Text("directory", current->m_directoryName);
    else
      record.Null("id").Null("directory");
    if (cluster_path != cluster_paths.end())
      record.Text("cluster_path", cluster_path->second);
    else
      record.Null("cluster_path");
    lines->push_back(record.Line());

    // The previous job's snapshot of the same directory, found as the plug-in finds it: by name
    // and source directory.
    SnapshotName name;
    JsonRecord previous("previous");
    previous.Text("backup_path", path);
    if (current && ParseSnapshotName(current->m_name, &name)) {
      name.job = options.previous_job;
      const std::string expected = FormatSnapshotName(name);
      const Qumulo::CSnapshotInfo* found = find(expected, current->m_sourceFileId);
      previous.Bool("found", found != nullptr).Text("name", expected);
      if (found)
        previous.Id("id", found->m_id);
      else
        previous.Null("id");
    } else {
      previous.Bool("found", false).Null("name").Null("id");
    }
    lines->push_back(previous.Line());
  }
  // The plug-in logs a deletion before it asks for it: one the cluster still lists did not happen.
  for (const auto& deleted : JobLogTap::Instance().Deleted()) {
    const bool standing = std::any_of(listed.begin(), listed.end(), [&](const Qumulo::CSnapshotInfo& snapshot) {
      return snapshot.m_id == deleted.second && !snapshot.m_inDelete;
    });
    if (!standing) lines->push_back(JsonRecord("deleted").Text("name", deleted.first).Id("id", deleted.second).Line());
  }
  return true;
}

std::string MapRecord(const RunOptions& options) {
  return JsonRecord("map").Text("map_file", options.map_file).TextList("lines", FileLines(options.map_file)).Line();
}

std::string JobSummaryRecord(const RunOptions& options, const ChangeCounts& total) {
  JsonRecord record("summary");
  record.SignedId("job", options.job).SignedId("previous_job", options.previous_job);
  record.Number("paths", options.backup_paths.size()).Bool("incremental", options.incremental);
  if (options.incremental) {
    record.Number("new", total.created)
        .Number("modified", total.modified)
        .Number("deleted", total.deleted)
        .Number("other", total.other);
  }
  if (LogIncomplete()) record.Bool("log_incomplete", true);
  return record.Line();
}

}  // namespace snapjob
