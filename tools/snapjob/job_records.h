// The JSON-lines records of a job besides its change items: every line one object whose "record"
// field names its kind (snapshot, previous, deleted, map, summary, error; change items are
// written by the change writer). Not thread-safe, except JobLogTap.
#ifndef SNAPJOB_JOB_RECORDS_H_
#define SNAPJOB_JOB_RECORDS_H_

#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ContentMapperAPI.h"
#include "QiError.h"
#include "options.h"

namespace snapjob {

// One record, built field by field. Text that is not valid UTF-8 also travels as its exact bytes
// in "<key>_bytes" (hex).
class JsonRecord {
 public:
  explicit JsonRecord(const char* kind);
  JsonRecord& Text(const char* key, const std::string& value);
  JsonRecord& Number(const char* key, uint64_t value);
  JsonRecord& Signed(const char* key, int64_t value);
  JsonRecord& Bool(const char* key, bool value);
  JsonRecord& Null(const char* key);
  JsonRecord& TextList(const char* key, const std::vector<std::string>& values);
  // The object and its line feed.
  std::string Line() const { return text_ + "}\n"; }

 private:
  void Key(const char* key);
  std::string text_;
};

std::string ErrorRecord(const std::string& operation, const CQiError& error);

// What the plug-in says only in its level-0 log lines, whose form is fixed: the cluster path behind
// each backup path, and each snapshot it deletes. The driver's log writer hands every line's format
// and arguments here. Thread-safe.
class JobLogTap {
 public:
  static JobLogTap& Instance();
  void Observe(const char* format, va_list args);
  std::map<std::string, std::string> ClusterPaths();        // backup path (with "/") -> cluster path
  std::vector<std::pair<std::string, uint64_t>> Deleted();  // name, id

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> cluster_paths_;
  std::vector<std::pair<std::string, uint64_t>> deleted_;
};

// The records of a job whose snapshots are configured and whose map file is written: per backup
// path its snapshot and its previous one, the snapshots deleted, and the map file. Reads the
// cluster's snapshot list through a connection of its own. False with the failed step.
bool JobRecords(const RunOptions& options, const ContentMapperAPIPtr& mapper, std::vector<std::string>* lines,
                std::string* operation, CQiError* error);

}  // namespace snapjob

#endif  // SNAPJOB_JOB_RECORDS_H_
