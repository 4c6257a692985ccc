#include "job_records.h"

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

JsonRecord& JsonRecord::Signed(const char* key, int64_t value) {
  Key(key);
  text_ += std::to_string(value);
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

std::string ErrorRecord(const std::string& operation, const CQiError& error) {
  JsonRecord record("error");
  record.Text("operation", operation)
      .Number("code", error.Win32Code())
      .TextList("messages", error.Messages())
      .TextList("locations", error.LocationStack());
  if (LogIncomplete()) record.Bool("log_incomplete", true);
  return record.Line();
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
    cluster_paths_[WithTrailingSlash(backup ? backup : "")] = cluster ? cluster : "";
  } else if (std::strcmp(format, kDeletingLine) == 0) {
    const char* name = va_arg(args, const char*);
    const unsigned long long id = va_arg(args, unsigned long long);
    std::lock_guard<std::mutex> lock(mutex_);
    deleted_.emplace_back(name ? name : "", id);
  }
}

std::map<std::string, std::string> JobLogTap::ClusterPaths() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cluster_paths_;
}

std::vector<std::pair<std::string, uint64_t>> JobLogTap::Deleted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return deleted_;
}

bool JobRecords(const RunOptions& options, const ContentMapperAPIPtr& mapper, std::vector<std::string>* lines,
                std::string* operation, CQiError* error) {
  ClusterSession session;
  std::string problem;
  std::list<Qumulo::CSnapshotInfo> listed;
  if (!session.Open(options.connection, &problem, error)) {
    *operation = "Connect";
    if (!problem.empty())
      *error = FXErrorUtil::ErrorWin32(FXCodeLocation("snapjob", "snapjob::JobRecords", __LINE__), 1627, "%s",
                                       problem.c_str());
    return false;
  }
  *error = session.snapshots().ListSnapshots(listed);
  if (error->IsError()) {
    *operation = "ListSnapshots";
    return false;
  }

  const std::map<std::string, std::string> cluster_paths = JobLogTap::Instance().ClusterPaths();
  for (const std::string& path : options.backup_paths) {
    const std::string scan_path = WithTrailingSlash(path);
    const std::string read_path = mapper ? mapper->MapPath(scan_path) : scan_path;
    const size_t marker = read_path.rfind("/.snapshot/");
    const std::string directory = marker == std::string::npos ? "" : read_path.substr(marker + 11);
    const Qumulo::CSnapshotInfo* current = nullptr;
    for (const Qumulo::CSnapshotInfo& snapshot : listed) {
      if (!snapshot.m_inDelete && !directory.empty() && snapshot.m_directoryName == directory) current = &snapshot;
    }
    const auto cluster_path = cluster_paths.find(scan_path);
    JsonRecord record("snapshot");
    record.Text("backup_path", path);
    if (current)
      record.Text("name", current->m_name).Number("id", current->m_id);
    else
      record.Null("name").Null("id");
    record.Text("directory", directory);
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
      const Qumulo::CSnapshotInfo* found = nullptr;
      for (const Qumulo::CSnapshotInfo& snapshot : listed) {
        if (!snapshot.m_inDelete && snapshot.m_name == expected && snapshot.m_sourceFileId == current->m_sourceFileId) {
          found = &snapshot;
        }
      }
      previous.Bool("found", found != nullptr).Text("name", expected);
      if (found)
        previous.Number("id", found->m_id);
      else
        previous.Null("id");
    } else {
      previous.Bool("found", false).Null("name").Null("id");
    }
    lines->push_back(previous.Line());
  }
  for (const auto& deleted : JobLogTap::Instance().Deleted()) {
    lines->push_back(JsonRecord("deleted").Text("name", deleted.first).Number("id", deleted.second).Line());
  }
  lines->push_back(
      JsonRecord("map").Text("map_file", options.map_file).TextList("lines", FileLines(options.map_file)).Line());
  return true;
}

}  // namespace snapjob
