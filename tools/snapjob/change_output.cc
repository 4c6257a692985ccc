#include "change_output.h"

#include "closing_record.h"
#include "job_records.h"
#include "json_text.h"

namespace snapjob {
namespace {

class TextChangeWriter : public ChangeWriter {
 public:
  explicit TextChangeWriter(FILE* out) : out_(out) {}

  void Item(const std::string&, const FileServerSnapshotCompareItem& item) override {
    ParkIfStopping();
    std::fprintf(out_, "%-8s  %-4s  %s\n", ChangeName(item.m_changeType), TypeName(item),
                 Printable(item.m_path).c_str());
  }

  void PathDone(const std::string& backup_path, const ChangeCounts& counts) override {
    std::fprintf(out_, "-- %s: %llu change%s (%llu new, %llu modified, %llu deleted", Printable(backup_path).c_str(),
                 static_cast<unsigned long long>(counts.total()), counts.total() == 1 ? "" : "s",
                 static_cast<unsigned long long>(counts.created), static_cast<unsigned long long>(counts.modified),
                 static_cast<unsigned long long>(counts.deleted));
    if (counts.other != 0) std::fprintf(out_, ", %llu other", static_cast<unsigned long long>(counts.other));
    std::fputs(")\n", out_);
  }

  void FullPath(const std::string& backup_path, const std::string& read_path) override {
    std::fprintf(out_, "-- %s: full backup, read from %s\n", Printable(backup_path).c_str(),
                 Printable(read_path).c_str());
  }

  void Record(const std::string&) override {}
  void Flush() override { std::fflush(out_); }

 private:
  FILE* out_;
};

class JsonlChangeWriter : public ChangeWriter {
 public:
  explicit JsonlChangeWriter(FILE* out) : out_(out) {}

  void Item(const std::string& backup_path, const FileServerSnapshotCompareItem& item) override {
    ParkIfStopping();
    line_.clear();
    line_ += "{\"record\":\"change\",\"backup_path\":";
    const bool backup_path_exact = AppendJsonString(line_, backup_path);
    line_ += ",\"change\":\"";
    line_ += ChangeName(item.m_changeType);
    line_ += "\",\"type\":\"";
    line_ += TypeName(item);
    line_ += "\",\"path\":";
    const bool path_exact = AppendJsonString(line_, item.m_path);
    line_ += ",\"exists\":";
    line_ += item.m_info.m_exists ? "true" : "false";
    line_ += ",\"new_dir\":";
    line_ += item.m_newDirectory ? "true" : "false";
    line_ += ",\"mode\":";
    line_ += std::to_string(item.m_info.m_mode);
    // A path that is not valid UTF-8 also travels as its exact bytes.
    if (!backup_path_exact) line_ += ",\"backup_path_bytes\":\"" + HexBytes(backup_path) + "\"";
    if (!path_exact) line_ += ",\"path_bytes\":\"" + HexBytes(item.m_path) + "\"";
    line_ += "}\n";
    std::fwrite(line_.data(), 1, line_.size(), out_);
  }

  void PathDone(const std::string& backup_path, const ChangeCounts& counts) override {
    Record(JsonRecord("path_summary")
               .Text("backup_path", backup_path)
               .Number("new", counts.created)
               .Number("modified", counts.modified)
               .Number("deleted", counts.deleted)
               .Number("other", counts.other)
               .Line());
  }
  // The job's snapshot records say where a full path is read from.
  void FullPath(const std::string&, const std::string&) override {}
  void Record(const std::string& line) override {
    ParkIfStopping();
    std::fwrite(line.data(), 1, line.size(), out_);
  }
  void Flush() override { std::fflush(out_); }

 private:
  FILE* out_;
  std::string line_;  // reused: one allocation for the whole list
};

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

void ChangeCounts::Count(const FileServerSnapshotCompareItem& item) {
  switch (item.m_changeType) {
    case kFileServerChangeNew: ++created; break;
    case kFileServerChangeModified: ++modified; break;
    case kFileServerChangeDeleted: ++deleted; break;
    default: ++other; break;
  }
}

const char* ChangeName(int32_t change_type) {
  switch (change_type) {
    case kFileServerChangeNew: return "new";
    case kFileServerChangeModified: return "modified";
    case kFileServerChangeDeleted: return "deleted";
    default: return "none";
  }
}

const char* TypeName(const FileServerSnapshotCompareItem& item) {
  return (item.m_info.m_mode & 0xF000) == 0x4000 ? "dir" : "file";
}

std::unique_ptr<ChangeWriter> NewChangeWriter(OutputFormat format, FILE* out) {
  if (format == OutputFormat::kJsonl) return std::unique_ptr<ChangeWriter>(new JsonlChangeWriter(out));
  return std::unique_ptr<ChangeWriter>(new TextChangeWriter(out));
}

}  // namespace snapjob
