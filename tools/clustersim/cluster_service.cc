#include "clustersim/cluster_service.h"

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include <httplib.h>

#include "clustersim/json.h"
#include "clustersim/percent_coding.h"
#include "clustersim/rfc3339.h"

namespace clustersim {

namespace {

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    segments.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  // Collections are documented with a trailing "/"; both forms are served.
  if (segments.size() > 1 && segments.back().empty()) segments.pop_back();
  return segments;
}

std::string DirectoryPath(std::string path) {
  if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
  if (path.back() != '/') path.push_back('/');
  return path;
}

const char* FileTypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return "FS_FILE_TYPE_DIRECTORY";
    case S_IFLNK: return "FS_FILE_TYPE_SYMLINK";
    case S_IFIFO: return "FS_FILE_TYPE_UNIX_PIPE";
    case S_IFCHR: return "FS_FILE_TYPE_UNIX_CHARACTER_DEVICE";
    case S_IFBLK: return "FS_FILE_TYPE_UNIX_BLOCK_DEVICE";
    case S_IFSOCK: return "FS_FILE_TYPE_UNIX_SOCKET";
    default: return "FS_FILE_TYPE_FILE";
  }
}

std::string Rfc3339(const struct statx_timestamp& time) { return FormatRfc3339(time.tv_sec, time.tv_nsec); }

// Entries of a directory as clients see them: ".snapshot" is never one.
int64_t ChildCount(const std::string& disk_path) {
  DIR* dir = ::opendir(disk_path.c_str());
  if (dir == nullptr) return 0;
  int64_t count = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
        std::strcmp(entry->d_name, kSnapshotDirName) != 0) {
      ++count;
    }
  }
  ::closedir(dir);
  return count;
}

}  // namespace

ClusterService::ClusterService(const Options& options, std::string password)
    : options_(options),
      sessions_(options.user, std::move(password), std::chrono::seconds(options.token_ttl_seconds)) {
  for (const SyntheticDiffConfig& config : options.synthetic_diffs) SetSyntheticDiff(config.fs_path, config.items);
}

Status ClusterService::Open(const std::string& state_dir) {
  Status status = PathResolver::Create(options_.root, &resolver_);
  if (status.ok()) status = file_ids_.Open(state_dir, &resolver_);
  if (status.ok()) {
    status = snapshots_.Open(state_dir, &resolver_, &file_ids_, std::chrono::milliseconds(options_.delete_delay_ms),
                             [this](uint64_t id) { diff_cache_.Forget(id); });
  }
  return status;
}

void ClusterService::Shutdown() {
  std::lock_guard<std::mutex> lock(shutdown_mutex_);
  shutting_down_ = true;
  shutdown_cv_.notify_all();
}

void ClusterService::WaitFor(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(shutdown_mutex_);
  shutdown_cv_.wait_for(lock, delay, [this] { return shutting_down_; });
}

void ClusterService::SetSyntheticDiff(const std::string& fs_path, uint64_t items) {
  {
    std::lock_guard<std::mutex> lock(synthetic_mutex_);
    if (items == 0) {
      synthetic_diffs_.erase(DirectoryPath(fs_path));
    } else {
      synthetic_diffs_[DirectoryPath(fs_path)] = items;
    }
  }
  diff_cache_.Clear();
}

void ClusterService::ApplyFaults(const FaultSettings& settings) {
  if (settings.expire_tokens) sessions_.ExpireAll();
  faults_.Set(settings);
}

std::string ErrorBody(const Status& status) {
  return JsonWriter()
                   .String("module", "clustersim")
                   .String("error_class", status.error_class())
                   .String("description", status.message())
                   .Raw("stack", "[]")
                   .Bool("user_visible", status.http_status() < 500)
                   .Finish();
}

ClusterService::Reply ClusterService::ErrorReply(const Status& status) {
  return Reply{status.http_status(), ErrorBody(status)};
}

void AnswerAndClose(httplib::Response& response, std::string body) {
  // httplib closes a connection whose response could not be written in full, so the provider
  // writes the whole answer and then reports failure.
  response.set_header("Connection", "close");
  auto text = std::make_shared<std::string>(std::move(body));
  response.set_content_provider(text->size(), "application/json",
                                [text](size_t offset, size_t, httplib::DataSink& sink) {
                                  if (offset < text->size()) sink.write(text->data() + offset, text->size() - offset);
                                  return false;
                                });
}

// httplib reads the body of POST, PUT, PATCH and DELETE only. Any other request that announces a
// body leaves it in the stream, where it would be read as the next request.
bool CarriesUnreadBody(const httplib::Request& request) {
  const std::string& method = request.method;
  if (method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE") return false;
  return request.has_header("Transfer-Encoding") ||
         (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0");
}

void ClusterService::Handle(const httplib::Request& request, httplib::Response& response) {
  auto started = std::chrono::steady_clock::now();
  Reply reply;
  bool drop = false, close = false;
  if (CarriesUnreadBody(request)) {
    reply = ErrorReply(Status::BadRequest("a " + request.method + " request carries no body"));
    close = true;
  } else if (request.path.compare(0, 10, "/v1/debug/") == 0) {
    reply = options_.test_hooks ? RouteDebug(request) : ErrorReply(Status::NotFound("no such route"));
  } else {
    counters_.CountRequest();
    FaultDecision decision = faults_.OnRequest();
    if (decision.delay.count() > 0) WaitFor(decision.delay);
    if (decision.fail_status != 0) {
      reply = ErrorReply(Status::ServerTrouble(decision.fail_status, "injected fault"));
    } else {
      try {
        reply = Route(request);
      } catch (const std::exception& e) {
        reply = ErrorReply(Status::Internal(e.what()));
      }
    }
    if (reply.status >= 200 && reply.status < 300 && !reply.body.empty() && faults_.TakeMalformed()) {
      reply.body.resize(reply.body.size() / 2);
    }
    drop = decision.drop;
  }

  response.status = reply.status;
  if (reply.status == 401) response.set_header("WWW-Authenticate", "Bearer");
  if (close) {
    // Whatever the client sent after this request is thrown away, buffered or not: the next read
    // sees the end of the stream, and the connection closes once the answer is out. (httplib hands
    // handlers the connection as const; marking it is the one change made to it.)
    response.set_header("Connection", "close");
    if (request.ssl != nullptr) {
      SSL* ssl = const_cast<SSL*>(request.ssl);
      SSL_set_shutdown(ssl, SSL_get_shutdown(ssl) | SSL_RECEIVED_SHUTDOWN);
    }
  }
  if (drop) {
    // Announce the whole body, send half of it, then give up: the connection is closed. A reply
    // without a body (204) would leave nothing to cut short, so it is cut as a 200 that promised one.
    if (response.status == 204) response.status = 200;
    auto body = std::make_shared<std::string>(reply.body.empty() ? std::string("{}") : std::move(reply.body));
    response.set_content_provider(body->size(), "application/json",
                                  [body](size_t offset, size_t, httplib::DataSink& sink) {
                                    size_t half = body->size() / 2;
                                    if (offset < half) sink.write(body->data() + offset, half - offset);
                                    return false;
                                  });
  } else if (!reply.body.empty()) {
    response.body = std::move(reply.body);
    response.set_header("Content-Type", "application/json");
  }
  if (options_.verbose) {
    auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    // Only the method, the route and the outcome: never headers, queries or bodies.
    std::fprintf(stderr, "clustersim: %s %s -> %d%s (%.3f ms)\n", request.method.c_str(), request.path.c_str(),
                 reply.status, drop ? " dropped" : "", elapsed.count() / 1000.0);
  }
}

Status ClusterService::Authenticate(const httplib::Request& request) {
  std::string header = request.get_header_value("Authorization");
  static const char kScheme[] = "bearer ";
  if (header.size() <= sizeof(kScheme) - 1) return Status::Unauthorized("missing bearer token");
  for (size_t i = 0; i + 1 < sizeof(kScheme); ++i) {
    if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) {
      return Status::Unauthorized("missing bearer token");
    }
  }
  return sessions_.Check(header.substr(sizeof(kScheme) - 1));
}

ClusterService::Reply ClusterService::Route(const httplib::Request& request) {
  const std::string& method = request.method;
  if (request.path == "/v1/session/login") {
    if (method == "POST") return Login(request);
    return ErrorReply(Status::NotFound("no such route: " + method + " " + request.path));
  }
  // The attributes route carries a path encoded as one component ("%2Ffs%2Fprojects"), so it is
  // matched on the target as sent, before any decoding.
  static const std::string kFiles = "/v1/files/", kAttributes = "/info/attributes";
  std::string target = request.target.substr(0, request.target.find('?'));
  if (!target.empty() && target.back() == '/') target.pop_back();
  if (target.compare(0, kFiles.size(), kFiles) == 0 && target.size() > kFiles.size() + kAttributes.size() &&
      target.compare(target.size() - kAttributes.size(), kAttributes.size(), kAttributes) == 0) {
    std::string raw_ref = target.substr(kFiles.size(), target.size() - kFiles.size() - kAttributes.size());
    if (method == "GET" && raw_ref.find('/') == std::string::npos) {
      Status status = Authenticate(request);
      if (!status.ok()) return ErrorReply(status);
      std::string ref;
      if (!PercentDecode(raw_ref, &ref)) return ErrorReply(Status::BadRequest("bad percent-encoding in " + raw_ref));
      return FileAttributes(ref);
    }
  }

  const std::vector<std::string> segments = Segments(request.path);
  const size_t n = segments.size();
  int version = n > 0 && segments[0] == "v2" ? 2 : n > 0 && segments[0] == "v3" ? 3 : 0;
  enum class Kind { kNone, kExports, kSnapshots, kSnapshot, kChanges } kind = Kind::kNone;
  if (version != 0 && n == 3 && segments[1] == "nfs" && segments[2] == "exports" && method == "GET") {
    kind = Kind::kExports;
  } else if (version != 0 && n >= 2 && segments[1] == "snapshots") {
    if (n == 2 && (method == "GET" || method == "POST")) {
      kind = Kind::kSnapshots;
    } else if (n == 3 && (method == "GET" || method == "DELETE")) {
      kind = Kind::kSnapshot;
    } else if (version == 2 && n == 5 && segments[3] == "changes-since" && method == "GET") {
      kind = Kind::kChanges;
    }
  }
  if (kind == Kind::kNone) return ErrorReply(Status::NotFound("no such route: " + method + " " + request.path));
  Status status = Authenticate(request);
  if (!status.ok()) return ErrorReply(status);
  switch (kind) {
    case Kind::kExports:
      return NfsExports(version);
    case Kind::kSnapshots:
      return method == "POST" ? CreateSnapshot(request, version) : ListSnapshots(request, version);
    case Kind::kSnapshot:
      return method == "GET" ? GetSnapshot(segments[2], version) : DeleteSnapshot(segments[2], version);
    case Kind::kChanges:
      return Changes(request, segments[2], segments[4]);
    default:
      return ErrorReply(Status::NotFound("no such route"));
  }
}

ClusterService::Reply ClusterService::Login(const httplib::Request& request) {
  JsonObject body;
  Status status = JsonObject::Parse(request.body, &body);
  std::optional<std::string> user, password;
  if (status.ok()) status = body.GetString("username", &user);
  if (status.ok()) status = body.GetString("password", &password);
  if (status.ok() && (!user || !password)) status = Status::BadRequest("username and password are required");
  std::string token;
  if (status.ok()) status = sessions_.Login(*user, *password, &token);
  if (!status.ok()) return ErrorReply(status);
  return Reply{200, JsonWriter().String("bearer_token", token).Finish()};
}

ClusterService::Reply ClusterService::FileAttributes(const std::string& ref) {
  ResolvedPath resolved;
  uint64_t id = 0;
  Status status;
  if (!ref.empty() && ref[0] == '/') {
    status = resolver_.Resolve(ref, &resolved);
    if (status.ok()) status = file_ids_.IdOf(resolved, &id);
  } else if (ParseDecimal(ref, &id)) {
    status = file_ids_.Locate(id, &resolved);
  } else {
    status = Status::BadRequest("a file is named by its id or its absolute path, not " + ref);
  }
  struct statx sx;
  if (status.ok() && ::statx(AT_FDCWD, resolved.disk_path.c_str(), AT_SYMLINK_NOFOLLOW,
                             STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    status = Status::NoSuchEntry("no such path: " + resolved.cluster_path);
  }
  if (!status.ok()) return ErrorReply(status);
  bool is_directory = S_ISDIR(sx.stx_mode);
  std::string cluster_path = resolved.cluster_path;
  if (is_directory && cluster_path != "/") cluster_path += "/";
  std::string name = resolved.cluster_path.substr(resolved.cluster_path.rfind('/') + 1);
  char mode[16];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(sx.stx_mode & 07777));
  const struct statx_timestamp& creation = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
  return Reply{200, JsonWriter()
                        .Id("id", id)
                        .Id("file_number", id)
                        .String("path", cluster_path)
                        .String("name", name)
                        .String("type", FileTypeName(sx.stx_mode))
                        .Id("size", sx.stx_size)
                        .Id("owner", sx.stx_uid)
                        .Id("group", sx.stx_gid)
                        .String("mode", mode)
                        .Number("num_links", sx.stx_nlink)
                        .Number("child_count", is_directory ? ChildCount(resolved.disk_path) : 0)
                        .String("access_time", Rfc3339(sx.stx_atime))
                        .String("modification_time", Rfc3339(sx.stx_mtime))
                        .String("change_time", Rfc3339(sx.stx_ctime))
                        .String("creation_time", Rfc3339(creation))
                        .Finish()};
}

ClusterService::Reply ClusterService::NfsExports(int version) {
  std::string list;
  for (size_t i = 0; i < options_.exports.size(); ++i) {
    if (i > 0) list.push_back(',');
    JsonWriter writer;
    writer.Id("id", i + 1)
        .String("export_path", options_.exports[i].export_path)
        .String("fs_path", options_.exports[i].fs_path)
        .String("description", "")
        .Raw("restrictions", "[]")
        .Raw("fields_to_present_as_32_bit", "[]");
    if (version >= 3) writer.Number("tenant_id", 1);
    list += writer.Finish();
  }
  return Reply{200, version >= 3 ? "{\"entries\":[" + list + "]}" : "[" + list + "]"};
}

ClusterService::Reply ClusterService::CreateSnapshot(const httplib::Request& request, int version) {
  JsonObject body;
  Status status = JsonObject::Parse(request.body, &body);
  std::optional<std::string> name, expiration;
  std::optional<uint64_t> source_id;
  if (status.ok()) status = body.GetString(version >= 3 ? "name_suffix" : "name", &name);
  if (status.ok()) status = body.GetUint("source_file_id", &source_id);
  if (status.ok()) status = body.GetString("expiration", &expiration);
  if (status.ok() && version >= 3 && (!name || name->empty())) name = "OnDemand";
  if (status.ok() && !name) status = Status::BadRequest("the name field is required");
  if (status.ok() && !source_id) status = Status::BadRequest("the source_file_id field is required");
  ResolvedPath source;
  if (status.ok()) status = file_ids_.Locate(*source_id, &source);
  SnapshotRecord record;
  if (status.ok()) status = snapshots_.Create(*name, *source_id, source, expiration.value_or(""), &record);
  if (!status.ok()) return ErrorReply(status);
  return Reply{200, version >= 3 ? SnapshotV3Json(record) : SnapshotV2Json(record)};
}

ClusterService::Reply ClusterService::ListSnapshots(const httplib::Request& request, int version) {
  bool with_deleting = false, only_deleting = false;
  if (version >= 3) {
    std::string filter = request.has_param("filter") ? request.get_param_value("filter") : "all";
    if (filter != "all" && filter != "exclude_in_delete" && filter != "only_in_delete") {
      return ErrorReply(Status::BadRequest("filter must be all, exclude_in_delete or only_in_delete"));
    }
    with_deleting = filter != "exclude_in_delete";
    only_deleting = filter == "only_in_delete";
  } else {
    with_deleting = request.get_param_value("include-in-delete") == "true";
  }
  std::string body = "{\"entries\":[";
  bool first = true;
  for (const SnapshotRecord& record : snapshots_.List()) {
    if ((record.in_delete && !with_deleting) || (!record.in_delete && only_deleting)) continue;
    if (!first) body.push_back(',');
    first = false;
    body += version >= 3 ? SnapshotV3Json(record) : SnapshotV2Json(record);
  }
  body += "]}";
  return Reply{200, std::move(body)};
}

ClusterService::Reply ClusterService::GetSnapshot(const std::string& id_text, int version) {
  uint64_t id = 0;
  if (!ParseDecimal(id_text, &id)) return ErrorReply(Status::BadRequest("bad snapshot id " + id_text));
  SnapshotRecord record;
  Status status = snapshots_.Get(id, &record);
  if (!status.ok()) return ErrorReply(status);
  return Reply{200, version >= 3 ? SnapshotV3Json(record) : SnapshotV2Json(record)};
}

ClusterService::Reply ClusterService::DeleteSnapshot(const std::string& id_text, int version) {
  uint64_t id = 0;
  if (!ParseDecimal(id_text, &id)) return ErrorReply(Status::BadRequest("bad snapshot id " + id_text));
  Status status = snapshots_.Delete(id);
  if (!status.ok()) return ErrorReply(status);
  return Reply{version >= 3 ? 202 : 200, ""};
}

Status ClusterService::BuildDifference(const SnapshotRecord& older, const SnapshotRecord& newer,
                                       RenderedDiff* out) {
  uint64_t synthetic_items = 0;
  {
    std::lock_guard<std::mutex> lock(synthetic_mutex_);
    auto it = synthetic_diffs_.find(newer.source_path);
    if (it != synthetic_diffs_.end()) synthetic_items = it->second;
  }
  if (synthetic_items > 0) {
    out->Reserve(synthetic_items, 60 + newer.source_path.size() + 100);
    SynthesizeDifference(newer.source_path, synthetic_items, [out](const DiffEntry& entry) { out->Add(entry); });
    return Status::Ok();
  }
  // Held open for the whole comparison: a deletion under way waits for it, or it finds the
  // snapshot gone (404). Never half an image.
  ImageHandle older_image, newer_image;
  Status status = snapshots_.OpenImage(older.id, &older_image);
  if (status.ok()) status = snapshots_.OpenImage(newer.id, &newer_image);
  std::vector<DiffEntry> entries;
  if (status.ok()) status = CompareImages(older_image.fd(), newer_image.fd(), newer.source_path, &entries);
  if (!status.ok()) return status;
  out->Reserve(entries.size(), 64 + newer.source_path.size());
  for (const DiffEntry& entry : entries) out->Add(entry);
  return Status::Ok();
}

Status ClusterService::PageLimit(const httplib::Request& request, uint64_t* limit) {
  *limit = kDefaultPageEntries;
  if ((request.has_param("limit") && !ParseDecimal(request.get_param_value("limit"), limit)) || *limit == 0) {
    return Status::BadRequest("limit must be a positive number");
  }
  *limit = std::min(*limit, kMaxPageEntries);
  return Status::Ok();
}

ClusterService::Reply ClusterService::Changes(const httplib::Request& request, const std::string& newer_text,
                                              const std::string& older_text) {
  uint64_t newer_id = 0, older_id = 0, limit = 0;
  if (!ParseDecimal(newer_text, &newer_id) || !ParseDecimal(older_text, &older_id)) {
    return ErrorReply(Status::BadRequest("bad snapshot id"));
  }
  Status status = PageLimit(request, &limit);
  SnapshotRecord newer, older;
  if (status.ok()) status = snapshots_.Get(newer_id, &newer);
  if (status.ok()) status = snapshots_.Get(older_id, &older);
  if (status.ok() && newer.source_file_id != older.source_file_id) {
    status = Status::SourceMismatch("snapshots " + newer_text + " and " + older_text + " are of different directories");
  }
  std::shared_ptr<const RenderedDiff> diff;
  if (status.ok()) {
    status = diff_cache_.Get(older_id, newer_id,
                             [&](RenderedDiff* out) { return BuildDifference(older, newer, out); }, &diff);
  }
  size_t begin = 0;
  std::string after = request.get_param_value("after");
  if (status.ok() && !after.empty()) status = ParsePageToken(after, older_id, newer_id, diff->size(), &begin);
  if (!status.ok()) return ErrorReply(status);

  // Read once: a fault change in between could otherwise cap the page at nothing.
  const uint64_t cap = faults_.PageCap();
  uint64_t page_entries = cap > 0 ? std::min(limit, cap) : limit;
  size_t end = std::min(diff->size(), begin + static_cast<size_t>(page_entries));
  // The next page is a relative URI that clients request as it stands.
  std::string next;
  if (end < diff->size()) {
    next = "/v2/snapshots/" + std::to_string(newer_id) + "/changes-since/" + std::to_string(older_id) +
           "?after=" + MakePageToken(older_id, newer_id, end) + "&limit=" + std::to_string(limit);
  }
  Reply reply;
  reply.body.reserve(64 + next.size() + (diff->bytes() / std::max<size_t>(diff->size(), 1)) * (end - begin + 1));
  reply.body.append("{\"entries\":[");
  diff->AppendSlice(begin, end, &reply.body);
  reply.body.append("],\"paging\":{\"next\":");
  AppendJsonString(&reply.body, next);
  reply.body.append("}}");
  return reply;
}

ClusterService::Reply ClusterService::RouteDebug(const httplib::Request& request) {
  const std::string& method = request.method;
  const std::string& path = request.path;
  if (path == "/v1/debug/counters" && method == "GET") {
    CounterValues values = counters_.Read();
    return Reply{200, JsonWriter()
                          .Number("requests", static_cast<int64_t>(values.requests))
                          .Number("tls_connections", static_cast<int64_t>(values.tls_connections))
                          .Finish()};
  }
  if (path == "/v1/debug/counters/reset" && method == "POST") {
    counters_.Reset();
    return Reply{204, ""};
  }
  if (path == "/v1/debug/faults") {
    if (method == "DELETE") {
      faults_.Clear();
      return Reply{204, ""};
    }
    if (method == "PUT") {
      JsonObject body;
      FaultSettings settings;
      Status status = JsonObject::Parse(request.body, &body);
      if (status.ok()) status = ParseFaultSettings(body, &settings);
      if (!status.ok()) return ErrorReply(status);
      ApplyFaults(settings);
      return Reply{204, ""};
    }
  }
  if (path == "/v1/debug/delete-delay" && method == "PUT") {
    JsonObject body;
    Status status = JsonObject::Parse(request.body, &body);
    std::optional<uint64_t> delay_ms;
    if (status.ok()) status = body.GetUint("delay_ms", &delay_ms);
    if (status.ok() && (!delay_ms || *delay_ms > 3600000)) {
      status = Status::BadRequest("delay_ms must be a number of milliseconds from 0 to 3600000");
    }
    if (!status.ok()) return ErrorReply(status);
    SetDeleteDelay(std::chrono::milliseconds(*delay_ms));
    return Reply{204, ""};
  }
  if (path == "/v1/debug/synthetic-diff" && method == "PUT") {
    JsonObject body;
    Status status = JsonObject::Parse(request.body, &body);
    std::optional<std::string> fs_path;
    std::optional<uint64_t> items;
    if (status.ok()) status = body.GetString("fs_path", &fs_path);
    if (status.ok()) status = body.GetUint("items", &items);
    if (status.ok() && (!fs_path || !items)) status = Status::BadRequest("fs_path and items are required");
    if (!status.ok()) return ErrorReply(status);
    SetSyntheticDiff(*fs_path, *items);
    return Reply{204, ""};
  }
  return ErrorReply(Status::NotFound("no such route: " + method + " " + path));
}

}  // namespace clustersim
