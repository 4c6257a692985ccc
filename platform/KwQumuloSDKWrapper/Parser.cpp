#include "Parser.h"

#include <cstdint>
#include <string_view>

#include "ErrorCodes.h"
#include "FXErrorUtil.h"
#include "JsonDocumentParser.h"
#include "WireText.h"

namespace Qumulo {

namespace {

namespace od = simdjson::ondemand;

// Every decoder below stops at the first problem and describes it in `problem`; the public
// operations turn that into one error naming the request.
bool Fail(std::string& problem, std::string text) {
  problem = std::move(text);
  return false;
}

std::string Quoted(std::string_view field) { return "\"" + std::string(field) + "\""; }

bool FailType(std::string& problem, std::string_view field, const char* expected, simdjson::error_code error) {
  return Fail(problem, "field " + Quoted(field) + " is not " + expected + " (" + simdjson::error_message(error) + ")");
}

bool ReadString(od::value& value, std::string_view field, std::string_view& out, std::string& problem) {
  simdjson::error_code error = value.get_string().get(out);
  return error ? FailType(problem, field, "a string", error) : true;
}

// Set while the current document carries escaped stray bytes (see JsonDocumentParser).
thread_local bool t_bytesEscaped = false;

bool ReadString(od::value& value, std::string_view field, std::string& out, std::string& problem) {
  std::string_view text;
  if (!ReadString(value, field, text, problem)) return false;
  out.assign(text.data(), text.size());
  if (t_bytesEscaped) JsonDocumentParser::RestoreBytes(out);
  return true;
}

bool ReadNumber(od::value& value, std::string_view field, uint64_t& out, std::string& problem) {
  simdjson::error_code error = value.get_uint64().get(out);
  return error ? FailType(problem, field, "an unsigned integer", error) : true;
}

bool ReadBool(od::value& value, std::string_view field, bool& out, std::string& problem) {
  simdjson::error_code error = value.get_bool().get(out);
  return error ? FailType(problem, field, "true or false", error) : true;
}

// Ids travel as decimal strings so that they stay exact above 2^53.
bool ReadId(od::value& value, std::string_view field, uint64_t& out, std::string& problem) {
  std::string_view text;
  if (!ReadString(value, field, text, problem)) return false;
  if (!ParseDecimalId(text, out)) {
    std::string shown(text.substr(0, 32));
    return Fail(problem, "field " + Quoted(field) + " is not a decimal id: \"" + shown + "\"");
  }
  return true;
}

// Calls onField(key, value) for every field of the object; stops when it returns false.
template <typename OnField>
bool WalkObject(od::object& object, std::string_view what, std::string& problem, OnField&& onField) {
  for (auto fieldResult : object) {
    od::field field;
    if (simdjson::error_code error = std::move(fieldResult).get(field)) {
      return Fail(problem, std::string(what) + " is cut short or malformed (" + simdjson::error_message(error) + ")");
    }
    std::string_view key;
    if (simdjson::error_code error = field.unescaped_key().get(key)) {
      return Fail(problem, std::string(what) + " has a malformed key (" + simdjson::error_message(error) + ")");
    }
    if (!onField(key, field.value())) return false;
  }
  return true;
}

template <typename OnElement>
bool WalkArray(od::value& value, std::string_view field, std::string& problem, OnElement&& onElement) {
  od::array array;
  if (simdjson::error_code error = value.get_array().get(array)) return FailType(problem, field, "an array", error);
  size_t index = 0;
  for (auto elementResult : array) {
    od::value element;
    if (simdjson::error_code error = std::move(elementResult).get(element)) {
      return Fail(problem, "array " + Quoted(field) + " is cut short or malformed at element " + std::to_string(index) +
                               " (" + simdjson::error_message(error) + ")");
    }
    if (!onElement(element, index)) return false;
    ++index;
  }
  return true;
}

bool ElementObject(od::value& element, std::string_view field, size_t index, od::object& object, std::string& problem) {
  if (simdjson::error_code error = element.get_object().get(object)) {
    return Fail(problem, "element " + std::to_string(index) + " of " + Quoted(field) + " is not an object (" +
                             simdjson::error_message(error) + ")");
  }
  return true;
}

// Names the first of the required fields (bit i for names[i]) that `seen` lacks.
bool RequireFields(unsigned seen, unsigned required, const char* const* names, size_t count, std::string_view what,
                   std::string& problem) {
  for (size_t i = 0; i < count; ++i) {
    const unsigned bit = 1u << i;
    if ((required & bit) && !(seen & bit)) return Fail(problem, std::string(what) + " lacks field " + Quoted(names[i]));
  }
  return true;
}

// Starts the document and its top-level object.
bool StartObject(JsonDocumentParser& json, const std::string& body, od::document& document, od::object& root,
                 std::string& problem) {
  simdjson::error_code error = json.Iterate(body, document);
  t_bytesEscaped = json.BytesEscaped();
  if (error) return Fail(problem, std::string("not JSON (") + simdjson::error_message(error) + ")");
  error = document.get_object().get(root);
  if (error) {
    return Fail(problem, std::string("not a JSON object (") + simdjson::error_message(error) + ")");
  }
  return true;
}

// After the top-level object has been read whole: nothing may follow it.
bool FinishDocument(od::document& document, std::string& problem) {
  const char* location = nullptr;
  simdjson::error_code error = document.current_location().get(location);
  if (error == simdjson::OUT_OF_BOUNDS) return true;
  return Fail(problem, "content follows the JSON object");
}

bool DecodeSnapshot(od::object& object, std::string_view what, CSnapshotInfo& snapshot, std::string& problem) {
  static const char* const kNames[] = {"id", "name", "directory_name", "source_file_id", "timestamp", "expiration",
                                       "in_delete"};
  unsigned seen = 0;
  const bool walked = WalkObject(object, what, problem, [&](std::string_view key, od::value& value) {
    if (key == "id") return seen |= 1u << 0, ReadId(value, key, snapshot.m_id, problem);
    if (key == "name") return seen |= 1u << 1, ReadString(value, key, snapshot.m_name, problem);
    if (key == "directory_name") return seen |= 1u << 2, ReadString(value, key, snapshot.m_directoryName, problem);
    if (key == "source_file_id") return seen |= 1u << 3, ReadId(value, key, snapshot.m_sourceFileId, problem);
    if (key == "timestamp") return seen |= 1u << 4, ReadNumber(value, key, snapshot.m_timestamp, problem);
    if (key == "expiration") return seen |= 1u << 5, ReadString(value, key, snapshot.m_expiration, problem);
    if (key == "in_delete") return seen |= 1u << 6, ReadBool(value, key, snapshot.m_inDelete, problem);
    return true;  // fields added to the protocol later
  });
  if (!walked) return false;
  // The snap client relies on the id, the name, the source directory and the image's directory.
  if (!RequireFields(seen, 0x0F, kNames, 7, what, problem)) return false;
  snapshot.m_hasExpiration = !snapshot.m_expiration.empty();
  return true;
}

template <typename Record, typename DecodeElement>
bool DecodeListField(od::value& value, std::string_view field, std::list<Record>& records, std::string& problem,
                     DecodeElement&& decodeElement) {
  return WalkArray(value, field, problem, [&](od::value& element, size_t index) {
    od::object object;
    if (!ElementObject(element, field, index, object, problem)) return false;
    records.emplace_back();
    const std::string what = "element " + std::to_string(index) + " of " + Quoted(field);
    return decodeElement(object, what, records.back());
  });
}

// Removes what a failed decode appended, so that a failure leaves the caller's list as it was.
template <typename Record>
void TrimTo(std::list<Record>& records, size_t size) {
  while (records.size() > size) records.pop_back();
}

int32_t ChangeTypeFromOp(std::string_view op) {
  if (op == "created") return kSnapshotChangeCreated;
  if (op == "deleted") return kSnapshotChangeDeleted;
  if (op == "modified") return kSnapshotChangeModified;
  return kSnapshotChangeUnknown;
}

// One field of a difference entry, looked up by name: entries are written op, type, path, so each
// lookup usually finds its field next in line, which keeps the hot path free of key unescaping.
bool ReadEntryField(od::object& object, const char* name, std::string_view& out, std::string& problem) {
  simdjson::error_code error = object[name].get_string().get(out);
  if (!error) return true;
  if (error == simdjson::NO_SUCH_FIELD) return Fail(problem, "a difference entry lacks field " + Quoted(name));
  return FailType(problem, name, "a string", error);
}

}  // namespace

CParser::CParser() : m_json(new JsonDocumentParser()) {}

CParser::~CParser() = default;

#define QW_MALFORMED(context, problem)                                                                             \
  FXErrorUtil::ErrorWin32(QW_HERE, kErrorInvalidData, "%s: malformed response from the cluster: %s", (context).c_str(), \
                          (problem).c_str())

CQiError CParser::ParseLoginToken(const std::string& body, const std::string& context, std::string& token) {
  std::string problem;
  od::document document;
  od::object root;
  std::string found;
  bool ok = StartObject(*m_json, body, document, root, problem) &&
            WalkObject(root, "the login answer", problem, [&](std::string_view key, od::value& value) {
              return key == "bearer_token" ? ReadString(value, key, found, problem) : true;
            }) &&
            FinishDocument(document, problem);
  if (ok && found.empty()) ok = Fail(problem, "the login answer carries no \"bearer_token\"");
  if (!ok) return QW_MALFORMED(context, problem);
  token.swap(found);
  return CQiError::Success();
}

CQiError CParser::ParseDirectoryEntry(const std::string& body, const std::string& context, CDirectoryEntry& entry) {
  static const char* const kNames[] = {"id",   "path",      "type",        "size",
                                       "num_links", "owner", "group", "change_time", "modification_time",
                                       "creation_time"};
  std::string problem;
  od::document document;
  od::object root;
  CDirectoryEntry decoded;
  unsigned seen = 0;
  const bool ok =
      StartObject(*m_json, body, document, root, problem) &&
      WalkObject(root, "the attributes", problem,
                 [&](std::string_view key, od::value& value) {
                   if (key == "id") return seen |= 1u << 0, ReadId(value, key, decoded.m_fileId, problem);
                   if (key == "path") return seen |= 1u << 1, ReadString(value, key, decoded.m_path, problem);
                   if (key == "type") {
                     std::string_view type;
                     seen |= 1u << 2;
                     if (!ReadString(value, key, type, problem)) return false;
                     decoded.m_isDirectory = type == "directory";
                     return true;
                   }
                   if (key == "size") return seen |= 1u << 3, ReadNumber(value, key, decoded.m_size, problem);
                   if (key == "num_links") return seen |= 1u << 4, ReadNumber(value, key, decoded.m_numLinks, problem);
                   if (key == "owner") return seen |= 1u << 5, ReadNumber(value, key, decoded.m_owner, problem);
                   if (key == "group") return seen |= 1u << 6, ReadNumber(value, key, decoded.m_group, problem);
                   if (key == "change_time") {
                     return seen |= 1u << 7, ReadNumber(value, key, decoded.m_changeTime, problem);
                   }
                   if (key == "modification_time") {
                     return seen |= 1u << 8, ReadNumber(value, key, decoded.m_modificationTime, problem);
                   }
                   if (key == "creation_time") {
                     return seen |= 1u << 9, ReadNumber(value, key, decoded.m_creationTime, problem);
                   }
                   return true;
                 }) &&
      FinishDocument(document, problem) && RequireFields(seen, 0x7, kNames, 10, "the attributes", problem);
  if (!ok) return QW_MALFORMED(context, problem);
  entry = std::move(decoded);
  return CQiError::Success();
}

CQiError CParser::ParseNFSExports(const std::string& body, const std::string& context,
                                  std::list<CNFSExportEntry>& exports) {
  static const char* const kNames[] = {"id", "export_path", "fs_path", "description"};
  std::string problem;
  od::document document;
  od::object root;
  const size_t before = exports.size();
  bool sawExports = false;
  bool ok =
      StartObject(*m_json, body, document, root, problem) &&
      WalkObject(root, "the export list", problem, [&](std::string_view key, od::value& value) {
        if (key != "exports") return true;
        sawExports = true;
        return DecodeListField(value, key, exports, problem,
                               [&](od::object& object, const std::string& what, CNFSExportEntry& entry) {
                                 unsigned seen = 0;
                                 return WalkObject(object, what, problem,
                                                   [&](std::string_view field, od::value& v) {
                                                     if (field == "id") {
                                                       return seen |= 1u << 0, ReadId(v, field, entry.m_id, problem);
                                                     }
                                                     if (field == "export_path") {
                                                       seen |= 1u << 1;
                                                       return ReadString(v, field, entry.m_exportPath, problem);
                                                     }
                                                     if (field == "fs_path") {
                                                       seen |= 1u << 2;
                                                       return ReadString(v, field, entry.m_fsPath, problem);
                                                     }
                                                     if (field == "description") {
                                                       seen |= 1u << 3;
                                                       return ReadString(v, field, entry.m_description, problem);
                                                     }
                                                     return true;
                                                   }) &&
                                        RequireFields(seen, 0x6, kNames, 4, what, problem);
                               });
      }) &&
      FinishDocument(document, problem);
  if (ok && !sawExports) ok = Fail(problem, "the export list lacks field \"exports\"");
  if (!ok) {
    TrimTo(exports, before);
    return QW_MALFORMED(context, problem);
  }
  return CQiError::Success();
}

CQiError CParser::ParseSnapshot(const std::string& body, const std::string& context, CSnapshotInfo& snapshot) {
  std::string problem;
  od::document document;
  od::object root;
  CSnapshotInfo decoded;
  const bool ok = StartObject(*m_json, body, document, root, problem) &&
                  DecodeSnapshot(root, "the snapshot", decoded, problem) && FinishDocument(document, problem);
  if (!ok) return QW_MALFORMED(context, problem);
  snapshot = decoded;
  return CQiError::Success();
}

CQiError CParser::ParseSnapshotList(const std::string& body, const std::string& context,
                                    std::list<CSnapshotInfo>& snapshots) {
  std::string problem;
  od::document document;
  od::object root;
  const size_t before = snapshots.size();
  bool sawEntries = false;
  bool ok = StartObject(*m_json, body, document, root, problem) &&
            WalkObject(root, "the snapshot list", problem,
                       [&](std::string_view key, od::value& value) {
                         if (key != "entries") return true;
                         sawEntries = true;
                         return DecodeListField(value, key, snapshots, problem,
                                                [&](od::object& object, const std::string& what, CSnapshotInfo& info) {
                                                  return DecodeSnapshot(object, what, info, problem);
                                                });
                       }) &&
            FinishDocument(document, problem);
  if (ok && !sawEntries) ok = Fail(problem, "the snapshot list lacks field \"entries\"");
  if (!ok) {
    TrimTo(snapshots, before);
    return QW_MALFORMED(context, problem);
  }
  return CQiError::Success();
}

// The hot path of a job: a difference can run to millions of entries, so each entry is built in
// place in the list and its path assigned once from the parser's buffer.
CQiError CParser::ParseDiffPage(const std::string& body, const std::string& context,
                                std::list<CSnapshotDiffInfo>& page, std::string& nextPageToken) {
  std::string problem;
  od::document document;
  od::object root;
  const size_t before = page.size();
  bool sawEntries = false;
  bool sawNext = false;
  std::string next;
  bool ok =
      StartObject(*m_json, body, document, root, problem) &&
      WalkObject(root, "the difference page", problem, [&](std::string_view key, od::value& value) {
        if (key == "next") return sawNext = true, ReadString(value, key, next, problem);
        if (key != "entries") return true;
        sawEntries = true;
        const bool bytesEscaped = t_bytesEscaped;  // read once: a thread-local costs a call per use
        return WalkArray(value, key, problem, [&](od::value& element, size_t index) {
          od::object object;
          if (!ElementObject(element, "entries", index, object, problem)) return false;
          std::string_view op, type, path;
          if (ReadEntryField(object, "op", op, problem) && ReadEntryField(object, "type", type, problem) &&
              ReadEntryField(object, "path", path, problem)) {
            CSnapshotDiffInfo& entry = page.emplace_back();
            entry.m_changeType = ChangeTypeFromOp(op);
            entry.m_isDirectory = type == "directory";
            entry.m_path.assign(path.data(), path.size());
            if (bytesEscaped) JsonDocumentParser::RestoreBytes(entry.m_path);
            return true;
          }
          problem = "element " + std::to_string(index) + " of \"entries\": " + problem;
          return false;
        });
      }) &&
      FinishDocument(document, problem);
  if (ok && !sawEntries) ok = Fail(problem, "the difference page lacks field \"entries\"");
  if (ok && !sawNext) ok = Fail(problem, "the difference page lacks field \"next\"");
  if (!ok) {
    TrimTo(page, before);
    return QW_MALFORMED(context, problem);
  }
  nextPageToken.swap(next);
  return CQiError::Success();
}

std::string CParser::ParseErrorMessage(const std::string& body) {
  // Bounded and printable: the text ends up in error messages and log lines.
  constexpr size_t kMaxMessage = 512;
  std::string problem;
  od::document document;
  od::object root;
  std::string message;
  const bool ok = StartObject(*m_json, body, document, root, problem) &&
                  WalkObject(root, "the error", problem, [&](std::string_view key, od::value& value) {
                    return key == "message" ? ReadString(value, key, message, problem) : true;
                  });
  if (!ok) return std::string();
  if (message.size() > kMaxMessage) message.resize(kMaxMessage);
  for (char& c : message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return message;
}

}  // namespace Qumulo
