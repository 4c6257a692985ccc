// The JSON-lines records of a job besides its change items: every line one object whose "record"
// field names its kind (snapshot, previous, deleted, map, path_summary, summary; change items are
// written by the change writer, the closing error record by closing_record.h). Identifiers are
// written as decimal strings: the cluster's ids reach 2^64, past what common parsers keep exact.
// Not thread-safe, except JobLogTap.
#ifndef SNAPJOB_JOB_RECORDS_H_
#define SNAPJOB_JOB_RECORDS_H_

#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "QiError.h"
#include "change_output.h"
#include "cluster_session.h"
#include "options.h"

namespace snapjob {

// One record, built field by field. Text that is not valid UTF-8 also travels as its exact bytes
// in "<key>_bytes" (hex).
class JsonRecord {
 public:
  explicit JsonRecord(const char* kind);
  JsonRecord& Text(const char* key, const std::string& value);
  // Counts and codes.
  JsonRecord& Number(const char* key, uint64_t value);
  // Identifiers (snapshot, file and directory ids, client, application and job numbers).
  JsonRecord& Id(const char* key, uint64_t value);
  JsonRecord& SignedId(const char* key, int64_t value);
  JsonRecord& Bool(const char* key, bool value);
  JsonRecord& Null(const char* key);
  JsonRecord& TextList(const char* key, const std::vector<std::string>& values);
  // The object and its line feed.
  std::string Line() const { return text_ + "}\n"; }

 private:
  void Key(const char* key);
  std::string text_;
};

// What the plug-in says only in its level-0 log lines, whose form is fixed: the cluster path behind
// each backup path, the snapshot it made of it, the paths without a previous snapshot, and each
// snapshot it deletes. The driver's log writer hands every line's format
// and arguments here. Thread-safe.
class JobLogTap {
 public:
  static JobLogTap& Instance();
  void Observe(const char* format, va_list args);
  // Forgets what earlier jobs of this process said.
  void Reset();
  std::map<std::string, std::string> ClusterPaths();        // backup path (with "/") -> cluster path
  std::map<std::string, std::string> Created();             // backup path (with "/") -> snapshot name
  std::vector<std::string> WithoutPrevious();               // backup paths (with "/")
  std::vector<std::pair<std::string, uint64_t>> Deleted();  // name, id

 private:
  std::mutex mutex_;
  std::string last_backup_path_;
  std::map<std::string, std::string> cluster_paths_;
  std::map<std::string, std::string> created_;
  std::vector<std::string> without_previous_;
  std::vector<std::pair<std::string, uint64_t>> deleted_;
};

// The records of what ConfigureSnapshot did, whether or not it succeeded: per backup path that got
// a snapshot, the snapshot and the previous one, then the snapshots deleted. Reads the cluster's
// snapshot list through `session`, which it opens when it is not yet. False with the failed step.
bool SnapshotRecords(const RunOptions& options, ClusterSession* session, std::vector<std::string>* lines,
                     std::string* operation, CQiError* error);

// The map file as the job left it.
std::string MapRecord(const RunOptions& options);

// The closing record of a successful job; the counts only for an incremental one.
std::string JobSummaryRecord(const RunOptions& options, const ChangeCounts& total);

}  // namespace snapjob

#endif  // SNAPJOB_JOB_RECORDS_H_
