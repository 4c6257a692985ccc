#include "Parser.h"

#include <cstdint>
#include <cstring>
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

// End of the document being decoded: raw strings are never scanned past it.
thread_local const char* t_documentEnd = nullptr;
// The document carries raw name bytes as marks (JsonDocumentParser::RawMarked).
thread_local bool t_rawMarks = false;

// Reads a string with our own unescaping: simdjson refuses the lone \udcXX escapes that carry the
// bytes of names that are not UTF-8. A string without escapes, the usual case, is copied as it is.
bool ReadText(od::value& value, std::string_view field, std::string& out, std::string& problem) {
  od::raw_json_string raw;
  if (simdjson::error_code error = value.get_raw_json_string().get(raw)) {
    return FailType(problem, field, "a string", error);
  }
  const char* const begin = raw.raw();
  const char* const end = t_documentEnd;
  if (begin >= end) return Fail(problem, "field " + Quoted(field) + " is cut short");
  const size_t room = static_cast<size_t>(end - begin);
  const char* quote = static_cast<const char*>(std::memchr(begin, '"', room));
  if (quote != nullptr && std::memchr(begin, '\\', static_cast<size_t>(quote - begin)) == nullptr) {
    out.assign(begin, static_cast<size_t>(quote - begin));
  } else {
    const char* p = begin;
    while (p < end && *p != '"') p += *p == '\\' ? 2 : 1;
    if (p >= end) return Fail(problem, "field " + Quoted(field) + " is cut short");
    if (!DecodeJsonString(std::string_view(begin, static_cast<size_t>(p - begin)), out, t_rawMarks)) {
      return Fail(problem, "field " + Quoted(field) + " holds an escape that is not allowed");
    }
  }
  // No name of the cluster holds a NUL, and every C string made of one would end there.
  if (std::memchr(out.data(), '\0', out.size()) != nullptr) {
    return Fail(problem, "field " + Quoted(field) + " holds a NUL character");
  }
  return true;
}

bool ReadString(od::value& value, std::string_view field, std::string_view& out, std::string& problem) {
  simdjson::error_code error = value.get_string().get(out);
  return error ? FailType(problem, field, "a string", error) : true;
}

bool ReadNumber(od::value& value, std::string_view field, uint64_t& out, std::string& problem) {
  simdjson::error_code error = value.get_uint64().get(out);
  return error ? FailType(problem, field, "an unsigned integer", error) : true;
}

bool ReadBool(od::value& value, std::string_view field, bool& out, std::string& problem) {
  simdjson::error_code error = value.get_bool().get(out);
  return error ? FailType(problem, field, "true or false", error) : true;
}

bool IsType(od::value& value, od::json_type wanted) {
  od::json_type type;
  return !value.type().get(type) && type == wanted;
}

// Snapshot ids are JSON numbers and file ids decimal strings; either form is taken for both, and
// both are read exactly (a number is never read through a double).
bool ReadId(od::value& value, std::string_view field, uint64_t& out, std::string& problem) {
  if (IsType(value, od::json_type::number)) return ReadNumber(value, field, out, problem);
  std::string_view text;
  if (!ReadString(value, field, text, problem)) return false;
  if (!ParseDecimalId(text, out)) {
    std::string shown(text.substr(0, 32));
    return Fail(problem, "field " + Quoted(field) + " is not a decimal id: \"" + shown + "\"");
  }
  return true;
}

// Sizes and owners come as decimal strings; an owner need not be numeric, and then reads as 0.
bool ReadLooseNumber(od::value& value, std::string_view field, uint64_t& out, std::string& problem) {
  if (IsType(value, od::json_type::number)) return ReadNumber(value, field, out, problem);
  std::string_view text;
  if (!ReadString(value, field, text, problem)) return false;
  if (!ParseDecimalId(text, out)) out = 0;
  return true;
}

// Times before 1970 are valid: the unsigned record fields hold them in two's complement.
bool ReadTime(od::value& value, std::string_view field, uint64_t& out, std::string& problem) {
  std::string_view text;
  int64_t seconds = 0;
  if (!ReadString(value, field, text, problem)) return false;
  if (!ParseRfc3339(text, seconds)) {
    return Fail(problem, "field " + Quoted(field) + " is not an RFC 3339 time: \"" + std::string(text.substr(0, 40)) +
                             "\"");
  }
  out = static_cast<uint64_t>(seconds);
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

template <typename Array, typename OnElement>
bool WalkElements(Array& array, std::string_view field, std::string& problem, OnElement&& onElement) {
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

template <typename OnElement>
bool WalkArray(od::value& value, std::string_view field, std::string& problem, OnElement&& onElement) {
  od::array array;
  if (simdjson::error_code error = value.get_array().get(array)) return FailType(problem, field, "an array", error);
  return WalkElements(array, field, problem, onElement);
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

bool StartDocument(JsonDocumentParser& json, const std::string& body, od::document& document, std::string& problem) {
  simdjson::error_code error = json.Iterate(body, document);
  t_documentEnd = json.End();
  t_rawMarks = json.RawMarked();
  if (error) return Fail(problem, std::string("not JSON (") + simdjson::error_message(error) + ")");
  return true;
}

// Starts the document and its top-level object.
bool StartObject(JsonDocumentParser& json, const std::string& body, od::document& document, od::object& root,
                 std::string& problem) {
  if (!StartDocument(json, body, document, problem)) return false;
  if (simdjson::error_code error = document.get_object().get(root)) {
    return Fail(problem, std::string("not a JSON object (") + simdjson::error_message(error) + ")");
  }
  return true;
}

// After the top-level value has been read whole: nothing may follow it.
bool FinishDocument(od::document& document, std::string& problem) {
  const char* location = nullptr;
  simdjson::error_code error = document.current_location().get(location);
  if (error == simdjson::OUT_OF_BOUNDS) return true;
  return Fail(problem, "content follows the JSON value");
}

// A v3 record has no directory_name: its name is the directory's, "<id>_<suffix>", the suffix being
// the name its creator gave. A name of another form (not made through the API) is taken whole.
void SplitV3Name(CSnapshotInfo& snapshot) {
  snapshot.m_directoryName = snapshot.m_name;
  const std::string prefix = std::to_string(snapshot.m_id) + "_";
  if (snapshot.m_name.size() > prefix.size() && snapshot.m_name.compare(0, prefix.size(), prefix) == 0) {
    snapshot.m_name.erase(0, prefix.size());
  }
}

bool DecodeSnapshot(od::object& object, std::string_view what, bool v3, CSnapshotInfo& snapshot,
                    std::string& problem) {
  static const char* const kNames[] = {"id", "name", "directory_name", "source_file_id", "timestamp", "expiration",
                                       "in_delete"};
  unsigned seen = 0;
  const bool walked = WalkObject(object, what, problem, [&](std::string_view key, od::value& value) {
    if (key == "id") return seen |= 1u << 0, ReadId(value, key, snapshot.m_id, problem);
    if (key == "name") return seen |= 1u << 1, ReadText(value, key, snapshot.m_name, problem);
    if (key == "directory_name") return seen |= 1u << 2, ReadText(value, key, snapshot.m_directoryName, problem);
    if (key == "source_file_id") return seen |= 1u << 3, ReadId(value, key, snapshot.m_sourceFileId, problem);
    if (key == "timestamp") return seen |= 1u << 4, ReadTime(value, key, snapshot.m_timestamp, problem);
    if (key == "expiration") {
      seen |= 1u << 5;
      snapshot.m_expiration.clear();
      return IsType(value, od::json_type::null) || ReadText(value, key, snapshot.m_expiration, problem);
    }
    if (key == "in_delete") return seen |= 1u << 6, ReadBool(value, key, snapshot.m_inDelete, problem);
    return true;  // created_by_policy, policy_id and fields added later
  });
  if (!walked) return false;
  // The snap client relies on the id, the name, the source directory and the image's directory.
  if (!RequireFields(seen, v3 ? 0x0B : 0x0F, kNames, 7, what, problem)) return false;
  if (v3) SplitV3Name(snapshot);
  snapshot.m_hasExpiration = !snapshot.m_expiration.empty();
  return true;
}

template <typename Record, typename DecodeElement>
bool DecodeListElements(od::value& element, std::string_view field, size_t index, std::list<Record>& records,
                        std::string& problem, DecodeElement&& decodeElement) {
  od::object object;
  if (!ElementObject(element, field, index, object, problem)) return false;
  records.emplace_back();
  const std::string what = "element " + std::to_string(index) + " of " + Quoted(field);
  return decodeElement(object, what, records.back());
}

// Removes what a failed decode appended, so that a failure leaves the caller's list as it was.
template <typename Record>
void TrimTo(std::list<Record>& records, size_t size) {
  while (records.size() > size) records.pop_back();
}

// False for an operation the protocol does not define: handed on, it would become an item that
// tells the agent nothing, and the change it stands for would be lost.
bool ChangeTypeFromOp(std::string_view op, int32_t& type, std::string& problem) {
  if (op == "CREATE") {
    type = kSnapshotChangeCreated;
  } else if (op == "DELETE") {
    type = kSnapshotChangeDeleted;
  } else if (op == "MODIFY") {
    type = kSnapshotChangeModified;
  } else {
    return Fail(problem, "field \"op\" is not CREATE, DELETE or MODIFY: \"" + std::string(op.substr(0, 40)) + "\"");
  }
  return true;
}

// A list that appears twice in one answer would be read twice, or half of it ignored.
bool FirstEntries(bool& sawEntries, std::string_view what, std::string& problem) {
  if (sawEntries) return Fail(problem, std::string(what) + " holds field \"entries\" twice");
  sawEntries = true;
  return true;
}

// One field of a difference entry, looked up by name: entries are written op, path, so each
// lookup usually finds its field next in line, which keeps the hot path free of key unescaping.
bool FindEntryField(od::object& object, const char* name, od::value& out, std::string& problem) {
  simdjson::error_code error = object[name].get(out);
  if (!error) return true;
  if (error == simdjson::NO_SUCH_FIELD) return Fail(problem, "a difference entry lacks field " + Quoted(name));
  return Fail(problem, "a difference entry is malformed (" + std::string(simdjson::error_message(error)) + ")");
}

bool DecodeExport(od::object& object, const std::string& what, CNFSExportEntry& entry, std::string& problem) {
  static const char* const kNames[] = {"id", "export_path", "fs_path", "description"};
  unsigned seen = 0;
  return WalkObject(object, what, problem,
                    [&](std::string_view key, od::value& value) {
                      if (key == "id") return seen |= 1u << 0, ReadId(value, key, entry.m_id, problem);
                      if (key == "export_path") return seen |= 1u << 1, ReadText(value, key, entry.m_exportPath, problem);
                      if (key == "fs_path") return seen |= 1u << 2, ReadText(value, key, entry.m_fsPath, problem);
                      if (key == "description") return seen |= 1u << 3, ReadText(value, key, entry.m_description, problem);
                      if (key == "tenant_id") return ReadNumber(value, key, entry.m_tenantId, problem);
                      return true;
                    }) &&
         RequireFields(seen, 0x6, kNames, 4, what, problem);
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
              return key == "bearer_token" ? ReadText(value, key, found, problem) : true;
            }) &&
            FinishDocument(document, problem);
  if (ok && found.empty()) ok = Fail(problem, "the login answer carries no \"bearer_token\"");
  if (!ok) return QW_MALFORMED(context, problem);
  token.swap(found);
  return CQiError::Success();
}

CQiError CParser::ParseDirectoryEntry(const std::string& body, const std::string& context, CDirectoryEntry& entry) {
  static const char* const kNames[] = {"id", "path", "type"};
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
                   if (key == "path") return seen |= 1u << 1, ReadText(value, key, decoded.m_path, problem);
                   if (key == "type") {
                     std::string_view type;
                     seen |= 1u << 2;
                     if (!ReadString(value, key, type, problem)) return false;
                     decoded.m_isDirectory = type == "FS_FILE_TYPE_DIRECTORY";
                     return true;
                   }
                   if (key == "size") return ReadLooseNumber(value, key, decoded.m_size, problem);
                   if (key == "num_links") return ReadLooseNumber(value, key, decoded.m_numLinks, problem);
                   if (key == "owner") return ReadLooseNumber(value, key, decoded.m_owner, problem);
                   if (key == "group") return ReadLooseNumber(value, key, decoded.m_group, problem);
                   if (key == "change_time") return ReadTime(value, key, decoded.m_changeTime, problem);
                   if (key == "modification_time") return ReadTime(value, key, decoded.m_modificationTime, problem);
                   if (key == "creation_time") return ReadTime(value, key, decoded.m_creationTime, problem);
                   return true;
                 }) &&
      FinishDocument(document, problem) && RequireFields(seen, 0x7, kNames, 3, "the attributes", problem);
  if (!ok) return QW_MALFORMED(context, problem);
  entry = std::move(decoded);
  return CQiError::Success();
}

CQiError CParser::ParseNFSExports(const std::string& body, const std::string& context,
                                  std::list<CNFSExportEntry>& exports) {
  std::string problem;
  od::document document;
  const size_t before = exports.size();
  auto decodeElement = [&](od::value& element, size_t index) {
    return DecodeListElements(element, "entries", index, exports, problem,
                              [&](od::object& object, const std::string& what, CNFSExportEntry& entry) {
                                return DecodeExport(object, what, entry, problem);
                              });
  };
  // A top-level array (v2), or the same array as "entries" of an object (v3).
  bool ok = StartDocument(*m_json, body, document, problem);
  od::json_type type = od::json_type::null;
  if (ok && document.type().get(type)) ok = Fail(problem, "not a JSON value");
  if (ok && type == od::json_type::array) {
    od::array array;
    ok = !document.get_array().get(array) && WalkElements(array, "entries", problem, decodeElement);
    if (!ok && problem.empty()) problem = "the export list is malformed";
  } else if (ok) {
    od::object root;
    bool sawEntries = false;
    if (document.get_object().get(root)) {
      ok = Fail(problem, "the export list is neither an array nor an object");
    } else {
      ok = WalkObject(root, "the export list", problem, [&](std::string_view key, od::value& value) {
        if (key != "entries") return true;
        sawEntries = true;
        return WalkArray(value, key, problem, decodeElement);
      });
      if (ok && !sawEntries) ok = Fail(problem, "the export list lacks field \"entries\"");
    }
  }
  ok = ok && FinishDocument(document, problem);
  if (!ok) {
    TrimTo(exports, before);
    return QW_MALFORMED(context, problem);
  }
  return CQiError::Success();
}

CQiError CParser::ParseSnapshot(const std::string& body, const std::string& context, CSnapshotInfo& snapshot,
                                bool v3) {
  std::string problem;
  od::document document;
  od::object root;
  CSnapshotInfo decoded;
  const bool ok = StartObject(*m_json, body, document, root, problem) &&
                  DecodeSnapshot(root, "the snapshot", v3, decoded, problem) && FinishDocument(document, problem);
  if (!ok) return QW_MALFORMED(context, problem);
  snapshot = decoded;
  return CQiError::Success();
}

CQiError CParser::ParseSnapshotList(const std::string& body, const std::string& context,
                                    std::list<CSnapshotInfo>& snapshots, bool v3) {
  std::string problem;
  od::document document;
  od::object root;
  const size_t before = snapshots.size();
  bool sawEntries = false;
  bool ok = StartObject(*m_json, body, document, root, problem) &&
            WalkObject(root, "the snapshot list", problem,
                       [&](std::string_view key, od::value& value) {
                         if (key != "entries") return true;
                         if (!FirstEntries(sawEntries, "the snapshot list", problem)) return false;
                         return WalkArray(value, key, problem, [&](od::value& element, size_t index) {
                           return DecodeListElements(element, key, index, snapshots, problem,
                                                     [&](od::object& object, const std::string& what,
                                                         CSnapshotInfo& info) {
                                                       return DecodeSnapshot(object, what, v3, info, problem);
                                                     });
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
  std::string next;
  bool ok =
      StartObject(*m_json, body, document, root, problem) &&
      WalkObject(root, "the difference page", problem, [&](std::string_view key, od::value& value) {
        if (key == "paging") {
          // A missing or null link, or "", ends the list.
          if (IsType(value, od::json_type::null)) return true;
          od::object paging;
          if (simdjson::error_code error = value.get_object().get(paging)) {
            return FailType(problem, key, "an object", error);
          }
          return WalkObject(paging, "\"paging\"", problem, [&](std::string_view pagingKey, od::value& link) {
            if (pagingKey != "next" || IsType(link, od::json_type::null)) return true;
            return ReadText(link, "paging.next", next, problem);
          });
        }
        if (key != "entries") return true;
        if (!FirstEntries(sawEntries, "the difference page", problem)) return false;
        return WalkArray(value, key, problem, [&](od::value& element, size_t index) {
          od::object object;
          if (!ElementObject(element, "entries", index, object, problem)) return false;
          od::value field;
          std::string_view op;
          int32_t changeType = kSnapshotChangeUnknown;
          if (FindEntryField(object, "op", field, problem) && ReadString(field, "op", op, problem) &&
              ChangeTypeFromOp(op, changeType, problem) && FindEntryField(object, "path", field, problem)) {
            CSnapshotDiffInfo& entry = page.emplace_back();
            if (ReadText(field, "path", entry.m_path, problem)) {
              entry.m_changeType = changeType;
              // No type travels: a directory is a path that ends with "/".
              entry.m_isDirectory = !entry.m_path.empty() && entry.m_path.back() == '/';
              return true;
            }
          }
          problem = "element " + std::to_string(index) + " of \"entries\": " + problem;
          return false;
        });
      }) &&
      FinishDocument(document, problem);
  if (ok && !sawEntries) ok = Fail(problem, "the difference page lacks field \"entries\"");
  if (!ok) {
    TrimTo(page, before);
    return QW_MALFORMED(context, problem);
  }
  nextPageToken.swap(next);
  return CQiError::Success();
}

std::string CParser::ParseErrorDescription(const std::string& body) {
  // Bounded and printable: the text ends up in error messages and log lines.
  constexpr size_t kMaxMessage = 512;
  std::string problem;
  od::document document;
  od::object root;
  std::string errorClass, description;
  const bool ok = StartObject(*m_json, body, document, root, problem) &&
                  WalkObject(root, "the error", problem, [&](std::string_view key, od::value& value) {
                    if (key == "error_class") return ReadText(value, key, errorClass, problem);
                    if (key == "description") return ReadText(value, key, description, problem);
                    return true;
                  });
  if (!ok) return std::string();
  std::string message = errorClass;
  if (!errorClass.empty() && !description.empty()) message += ": ";
  message += description;
  if (message.size() > kMaxMessage) message.resize(kMaxMessage);
  for (char& c : message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return message;
}

}  // namespace Qumulo
