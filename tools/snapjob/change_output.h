// Writes the change list to standard output: aligned text for people, or one JSON object per line
// for programs, each with a "record" field ("change" for an item, "path_summary" at a path's end).
// Not thread-safe; the job runner calls it from its one thread.
#ifndef SNAPJOB_CHANGE_OUTPUT_H_
#define SNAPJOB_CHANGE_OUTPUT_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "FileServerRecords.h"
#include "options.h"

namespace snapjob {

// What one backup path's change list held.
struct ChangeCounts {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t deleted = 0;
  uint64_t other = 0;  // change type "none"
  uint64_t total() const { return created + modified + deleted + other; }
  void Count(const FileServerSnapshotCompareItem& item);
};

// The words the output uses for an item's change ("new", "modified", "deleted", "none") and type
// ("dir", "file").
const char* ChangeName(int32_t change_type);
const char* TypeName(const FileServerSnapshotCompareItem& item);

class ChangeWriter {
 public:
  virtual ~ChangeWriter() = default;
  // One change item of `backup_path` (as given on the command line).
  virtual void Item(const std::string& backup_path, const FileServerSnapshotCompareItem& item) = 0;
  // The end of one path's change list.
  virtual void PathDone(const std::string& backup_path, const ChangeCounts& counts) = 0;
  // A path backed up in full: no change list, its content is read from `read_path`.
  virtual void FullPath(const std::string& backup_path, const std::string& read_path) = 0;
  // A whole JSON-lines record (with its line feed); the text form leaves these to standard error.
  virtual void Record(const std::string& line) = 0;
  virtual void Flush() = 0;
};

std::unique_ptr<ChangeWriter> NewChangeWriter(OutputFormat format, FILE* out);

// `text` for a text line: backslash and control bytes as escapes, so that every printed path reads
// back to exactly one name.
std::string Printable(const std::string& text);

}  // namespace snapjob

#endif  // SNAPJOB_CHANGE_OUTPUT_H_
