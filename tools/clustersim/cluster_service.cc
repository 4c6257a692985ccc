#include "clustersim/cluster_service.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include <httplib.h>

#include "clustersim/json.h"

namespace clustersim {

namespace {

// Splits "/v1/snapshots/A" or "/v1/snapshots/A/changes-since/B" into its ids' text.
bool MatchSnapshotRoute(const std::string& path, std::string* first, std::string* second) {
  static const std::string kPrefix = "/v1/snapshots/";
  static const std::string kChanges = "/changes-since/";
  if (path.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  size_t start = kPrefix.size();
  size_t slash = path.find('/', start);
  *first = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
  second->clear();
  if (first->empty()) return false;
  if (slash == std::string::npos) return true;
  if (path.compare(slash, kChanges.size(), kChanges) != 0) return false;
  *second = path.substr(slash + kChanges.size());
  return !second->empty() && second->find('/') == std::string::npos;
}

bool ParseId(const std::string& text, uint64_t* id) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *id = value;
  return true;
}

std::string DirectoryPath(std::string path) {
  if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
  if (path.back() != '/') path.push_back('/');
  return path;
}

const char* TypeName(mode_t mode) {
  if (S_ISDIR(mode)) return "directory";
  if (S_ISREG(mode)) return "file";
  if (S_ISLNK(mode)) return "symlink";
  return "other";
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
  if (status.ok()) status = snapshots_.Open(state_dir, &resolver_);
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

ClusterService::Reply ClusterService::ErrorReply(const Status& status) {
  Reply reply;
  reply.status = status.http_status();
  reply.body = JsonWriter().String("error", status.kind()).String("message", status.message()).Finish();
  return reply;
}

void ClusterService::Handle(const httplib::Request& request, httplib::Response& response) {
  auto started = std::chrono::steady_clock::now();
  Reply reply;
  bool drop = false;
  if (request.path.compare(0, 10, "/v1/debug/") == 0) {
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
  const std::string& path = request.path;
  if (path == "/v1/session/login") {
    if (method == "POST") return Login(request);
    return ErrorReply(Status::NotFound("no such route"));
  }
  enum class Kind { kNone, kAttributes, kExports, kSnapshots, kSnapshot, kChanges } kind = Kind::kNone;
  std::string first_id, second_id;
  bool snapshot_route = MatchSnapshotRoute(path, &first_id, &second_id);
  if (path == "/v1/files/attributes" && method == "GET") {
    kind = Kind::kAttributes;
  } else if (path == "/v1/nfs/exports" && method == "GET") {
    kind = Kind::kExports;
  } else if (path == "/v1/snapshots" && (method == "GET" || method == "POST")) {
    kind = Kind::kSnapshots;
  } else if (method == "DELETE" && snapshot_route && second_id.empty()) {
    kind = Kind::kSnapshot;
  } else if (method == "GET" && snapshot_route && !second_id.empty()) {
    kind = Kind::kChanges;
  }
  if (kind == Kind::kNone) return ErrorReply(Status::NotFound("no such route: " + method + " " + path));
  Status status = Authenticate(request);
  if (!status.ok()) return ErrorReply(status);
  switch (kind) {
    case Kind::kAttributes:
      return FileAttributes(request);
    case Kind::kExports:
      return NfsExports();
    case Kind::kSnapshots:
      return method == "POST" ? CreateSnapshot(request) : ListSnapshots();
    case Kind::kSnapshot:
      return DeleteSnapshot(first_id);
    case Kind::kChanges:
      return Changes(request, first_id, second_id);
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
  return Reply{200, JsonWriter()
                        .String("bearer_token", token)
                        .Number("expires_in", sessions_.ttl().count())
                        .Finish()};
}

ClusterService::Reply ClusterService::FileAttributes(const httplib::Request& request) {
  if (!request.has_param("path")) return ErrorReply(Status::BadRequest("the path parameter is required"));
  ResolvedPath resolved;
  Status status = resolver_.Resolve(request.get_param_value("path"), &resolved);
  uint64_t id = 0;
  if (status.ok()) status = file_ids_.IdOf(resolved, &id);
  struct statx sx;
  if (status.ok() && ::statx(AT_FDCWD, resolved.disk_path.c_str(), AT_SYMLINK_NOFOLLOW,
                             STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    status = Status::NotFound("no such path: " + resolved.cluster_path);
  }
  if (!status.ok()) return ErrorReply(status);
  bool is_directory = S_ISDIR(sx.stx_mode);
  std::string cluster_path = resolved.cluster_path;
  if (is_directory && cluster_path != "/") cluster_path += "/";
  std::string name = resolved.cluster_path.substr(resolved.cluster_path.rfind('/') + 1);
  int64_t creation = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
  return Reply{200, JsonWriter()
                        .Id("id", id)
                        .String("path", cluster_path)
                        .String("name", name)
                        .String("type", TypeName(sx.stx_mode))
                        .Number("size", static_cast<int64_t>(sx.stx_size))
                        .Number("num_links", sx.stx_nlink)
                        .Number("owner", sx.stx_uid)
                        .Number("group", sx.stx_gid)
                        .Number("change_time", sx.stx_ctime.tv_sec)
                        .Number("modification_time", sx.stx_mtime.tv_sec)
                        .Number("creation_time", creation)
                        .Finish()};
}

ClusterService::Reply ClusterService::NfsExports() {
  std::string list;
  for (size_t i = 0; i < options_.exports.size(); ++i) {
    if (i > 0) list.push_back(',');
    list += JsonWriter()
                .Id("id", i + 1)
                .String("export_path", options_.exports[i].export_path)
                .String("fs_path", options_.exports[i].fs_path)
                .String("description", "")
                .Finish();
  }
  return Reply{200, "{\"exports\":[" + list + "]}"};
}

ClusterService::Reply ClusterService::CreateSnapshot(const httplib::Request& request) {
  JsonObject body;
  Status status = JsonObject::Parse(request.body, &body);
  std::optional<std::string> name, expiration;
  std::optional<uint64_t> source_id;
  if (status.ok()) status = body.GetString("name", &name);
  if (status.ok()) status = body.GetUint("source_file_id", &source_id);
  if (status.ok()) status = body.GetString("expiration", &expiration);
  if (status.ok() && !name) status = Status::BadRequest("the name field is required");
  if (status.ok() && name->empty()) status = Status::BadRequest("snapshot name is empty");
  if (status.ok() && !source_id) status = Status::BadRequest("the source_file_id field is required");
  ResolvedPath source;
  if (status.ok()) status = file_ids_.Locate(*source_id, &source);
  SnapshotRecord record;
  if (status.ok()) status = snapshots_.Create(*name, *source_id, source, expiration.value_or(""), &record);
  if (!status.ok()) return ErrorReply(status);
  return Reply{201, SnapshotToJson(record)};
}

ClusterService::Reply ClusterService::ListSnapshots() {
  std::string body = "{\"entries\":[";
  bool first = true;
  for (const SnapshotRecord& record : snapshots_.List()) {
    if (!first) body.push_back(',');
    first = false;
    body += SnapshotToJson(record);
  }
  body += "]}";
  return Reply{200, std::move(body)};
}

ClusterService::Reply ClusterService::DeleteSnapshot(const std::string& id_text) {
  uint64_t id = 0;
  if (!ParseId(id_text, &id)) return ErrorReply(Status::BadRequest("bad snapshot id " + id_text));
  Status status = snapshots_.Delete(id);
  diff_cache_.Forget(id);
  if (!status.ok()) return ErrorReply(status);
  return Reply{204, ""};
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
  std::vector<DiffEntry> entries;
  Status status =
      CompareImages(snapshots_.ImagePath(older), snapshots_.ImagePath(newer), newer.source_path, &entries);
  if (!status.ok()) return status;
  out->Reserve(entries.size(), 64 + newer.source_path.size());
  for (const DiffEntry& entry : entries) out->Add(entry);
  return Status::Ok();
}

ClusterService::Reply ClusterService::Changes(const httplib::Request& request, const std::string& newer_text,
                                              const std::string& older_text) {
  uint64_t newer_id = 0, older_id = 0;
  if (!ParseId(newer_text, &newer_id) || !ParseId(older_text, &older_id)) {
    return ErrorReply(Status::BadRequest("bad snapshot id"));
  }
  uint64_t limit = kDefaultPageEntries;
  if (request.has_param("limit") && !ParseId(request.get_param_value("limit"), &limit)) {
    return ErrorReply(Status::BadRequest("limit must be a positive number"));
  }
  if (limit == 0) return ErrorReply(Status::BadRequest("limit must be a positive number"));
  limit = std::min(limit, kMaxPageEntries);
  uint64_t cap = faults_.PageCap();
  if (cap > 0) limit = std::min(limit, cap);

  SnapshotRecord newer, older;
  Status status = snapshots_.Get(newer_id, &newer);
  if (status.ok()) status = snapshots_.Get(older_id, &older);
  if (status.ok() && newer.source_file_id != older.source_file_id) {
    status = Status::Conflict("the snapshots are of different directories");
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

  size_t end = std::min(diff->size(), begin + static_cast<size_t>(limit));
  std::string next = end < diff->size() ? MakePageToken(older_id, newer_id, end) : "";
  Reply reply;
  reply.body.reserve(64 + next.size() + (diff->bytes() / std::max<size_t>(diff->size(), 1)) * (end - begin + 1));
  reply.body.append("{\"entries\":[");
  diff->AppendSlice(begin, end, &reply.body);
  reply.body.append("],\"next\":\"");
  reply.body.append(next);
  reply.body.append("\"}");
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
