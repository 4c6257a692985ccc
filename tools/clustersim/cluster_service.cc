#include "clustersim/cluster_service.h"

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include <httplib.h>

#include "clustersim/file_attributes.h"
#include "clustersim/file_regions.h"
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

// The version a client reads to gate features: the first "x.y.z" of revision_id.
constexpr char kRevision[] = "Qumulo Core 7.2.3";

// A cluster path as routes take it: absolute, "." dropped; ".." and ".snapshot" are refused, as
// the live tree's resolver refuses them. No trailing "/" except for the root.
Status NormalizePath(const std::string& path, std::string* out) {
  if (path.empty() || path[0] != '/') return Status::BadRequest("path must be absolute");
  if (path.find('\0') != std::string::npos) return Status::BadRequest("path holds a NUL byte");
  out->clear();
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string name = path.substr(start, slash - start);
    start = slash + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return Status::BadRequest("path leaves the root: " + path);
    if (name == kSnapshotDirName) return Status::BadRequest("path enters a snapshot directory: " + path);
    *out += "/" + name;
  }
  if (out->empty()) *out = "/";
  return Status::Ok();
}

// A time to live as v2 takes it: "<n><unit>", n 1-999, unit months (30 days here), weeks, days,
// hours or minutes; "never" or "" for none.
Status ExpirationFromTimeToLive(const std::string& text, std::string* expiration) {
  expiration->clear();
  if (text.empty() || text == "never") return Status::Ok();
  static const struct {
    const char* unit;
    int64_t minutes;
  } kUnits[] = {{"months", 30 * 24 * 60}, {"weeks", 7 * 24 * 60}, {"days", 24 * 60}, {"hours", 60}, {"minutes", 1}};
  size_t digits = 0;
  while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const int64_t n = digits > 0 && digits <= 3 ? std::stoll(text.substr(0, digits)) : 0;
  for (const auto& unit : kUnits) {
    if (n >= 1 && text.compare(digits, std::string::npos, unit.unit) == 0) {
      *expiration = FormatRfc3339(std::chrono::system_clock::now() + std::chrono::minutes(n * unit.minutes));
      return Status::Ok();
    }
  }
  return Status::BadRequest("expiration-time-to-live must be <1-999><months|weeks|days|hours|minutes> or never, not " +
                            text);
}

// The raw segments of a request target, before any decoding: a path travels as one
// "%2F"-encoded segment, which decoding first would split.
std::vector<std::string> RawSegments(const std::string& target) {
  return Segments(target.substr(0, target.find('?')));
}

// With --empty-pages, "e<K>.<older>.<newer>.<index>" names the page at index after K empty pages.
bool ParseEmptyPageToken(const std::string& token, uint64_t older, uint64_t newer, size_t size, int64_t most,
                         uint64_t* served, size_t* index) {
  const size_t dot = token.find('.');
  const std::string pair = "." + std::to_string(older) + "." + std::to_string(newer) + ".";
  uint64_t value = 0;
  if (dot == std::string::npos || !ParseDecimal(token.substr(1, dot - 1), served) || *served == 0 ||
      *served > static_cast<uint64_t>(most) || token.compare(dot, pair.size(), pair) != 0 ||
      !ParseDecimal(token.substr(dot + pair.size()), &value) || value > size) {
    return false;
  }
  *index = static_cast<size_t>(value);
  return true;
}

}  // namespace

ClusterService::ClusterService(const Options& options, std::string password)
    : options_(options),
      sessions_(options.user, std::move(password), std::chrono::seconds(options.token_ttl_seconds)) {
  for (const SyntheticDiffConfig& config : options.synthetic_diffs) SetSyntheticDiff(config.fs_path, config.items);
}

Status ClusterService::Open(const std::string& state_dir) {
  Status status = PathResolver::Create(options_.root, &resolver_);
  // An export of a missing directory would only fail later, in the client's lookup.
  for (size_t i = 0; status.ok() && i < options_.exports.size(); ++i) {
    const ExportConfig& config = options_.exports[i];
    ResolvedPath resolved;
    struct stat st;
    if (!resolver_.Resolve(config.fs_path, &resolved).ok() || ::stat(resolved.disk_path.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
      status = Status::BadRequest("the export " + config.export_path + " names " + config.fs_path +
                                  ", which is not a directory under the root");
    }
  }
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
  response.set_header("Connection", "close");
  response.body = std::move(body);
  response.set_header("Content-Type", "application/json");
}

void ClusterService::Handle(const httplib::Request& request, httplib::Response& response) {
  auto started = std::chrono::steady_clock::now();
  Reply reply;
  bool drop = false;
  if (options_.test_hooks && request.path.compare(0, 10, "/v1/debug/") == 0) {
    reply = RouteDebug(request);
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
  // httplib would advertise byte ranges on HEAD; they are not served.
  if (request.method == "HEAD") response.set_header("Accept-Ranges", "none");
  if (reply.retry_after_seconds > 0) response.set_header("Retry-After", std::to_string(reply.retry_after_seconds));
  if (drop) {
    // Announce the whole body, send half of it, then give up: the connection is closed. A reply
    // without a body (204) would leave nothing to cut short, so it is cut as a 200 that promised one.
    if (response.status == 204) response.status = 200;
    response.body = reply.body.empty() ? std::string("{}") : std::move(reply.body);
    response.set_header("Content-Type", "application/json");
    response.set_header(kCutBodyHeader, std::to_string(response.body.size() / 2));
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
  // HEAD is answered as GET; httplib leaves the body out.
  const std::string method = request.method == "HEAD" ? "GET" : request.method;
  if (request.path == "/v1/version" || request.path == "/v1/version/") {
    if (method == "GET") return Version();
    return ErrorReply(Status::NotFound("no such route: " + method + " " + request.path));
  }
  if (request.path == "/v1/session/login") {
    if (method == "POST") return Login(request);
    return ErrorReply(Status::NotFound("no such route: " + method + " " + request.path));
  }
  // The token before the route: without one, nothing about the routes shows, not even which exist.
  Status status = Authenticate(request);
  if (!status.ok()) return ErrorReply(status);

  const std::vector<std::string> raw = RawSegments(request.target);
  const size_t n = raw.size();
  const bool get = method == "GET";
  auto decoded = [&](size_t i, std::string* out) {
    return PercentDecode(raw[i], out) ? Status::Ok() : Status::BadRequest("bad percent-encoding in " + raw[i]);
  };
  std::string ref;
  if (n >= 1 && raw[0] == "v1") {
    if (get && n == 3 && raw[1] == "session" && raw[2] == "who-am-i") return WhoAmI();
    if (get && (n == 3 || n == 4) && raw[1] == "multitenancy" && raw[2] == "tenants") {
      return Tenants(n == 4 ? &raw[3] : nullptr);
    }
    if (get && n == 5 && raw[1] == "files" && raw[3] == "info" && raw[4] == "attributes") {
      if (!(status = decoded(2, &ref)).ok()) return ErrorReply(status);
      return FileAttributes(request, ref);
    }
    if (get && n == 4 && raw[1] == "files" && raw[3] == "entries") {
      if (!(status = decoded(2, &ref)).ok()) return ErrorReply(status);
      return DirectoryEntries(request, raw[2], ref);
    }
  }
  const int version = n == 0 ? 0 : raw[0] == "v2" ? 2 : raw[0] == "v3" ? 3 : raw[0] == "v4" ? 4 : 0;
  if (get && (version == 2 || version == 3) && n == 3 && raw[1] == "nfs" && raw[2] == "exports") {
    return NfsExports(version);
  }
  if (version == 0 || n < 2 || raw[1] != "snapshots") {
    return ErrorReply(Status::NotFound("no such route: " + method + " " + request.path));
  }
  // The v2 differences stay whatever the version served; a cluster without a snapshot version has
  // none of its other routes at all. Status lists are v4, status items v3 or v2.
  const SnapshotApi api = options_.snapshot_api;
  const bool v2 = version == 2 && api != SnapshotApi::kV3;
  const bool v3 = (version == 3 || version == 4) && api != SnapshotApi::kV2;
  const bool status_route = n >= 3 && raw[2] == "status";
  if (get && v3 && version == 4 && n == 3 && status_route) return ListSnapshots(request, 3, true);
  if (get && (v2 || v3) && version != 4 && n == 4 && status_route) return GetSnapshot(raw[3], version, true);
  if (get && v2 && n == 3 && status_route) return ListSnapshots(request, 2, true);
  if ((v2 || v3) && version != 4) {
    if (n == 2 && (get || method == "POST")) {
      return get ? ListSnapshots(request, version, false) : CreateSnapshot(request, version);
    }
    if (n == 3 && !status_route) {
      if (get) return GetSnapshot(raw[2], version, false);
      if (method == "DELETE") return DeleteSnapshot(raw[2], version);
      if (method == "PATCH") return PatchSnapshot(request, raw[2], version);
    }
  }
  if (get && version == 2 && n == 5 && raw[3] == "changes-since") return Changes(request, raw[2], raw[4]);
  if (get && (version == 2 || v3) && version != 4 && n == 7 && raw[3] == "changes-since" && raw[5] == "files") {
    if (!(status = decoded(6, &ref)).ok()) return ErrorReply(status);
    return FileChanges(request, version, raw[2], raw[4], raw[6], ref);
  }
  return ErrorReply(Status::NotFound("no such route: " + method + " " + request.path));
}

ClusterService::Reply ClusterService::Login(const httplib::Request& request) {
  JsonObject body;
  Status status = JsonObject::Parse(request.body, &body);
  std::optional<std::string> user, password;
  if (status.ok()) status = body.GetString("username", &user);
  if (status.ok()) status = body.GetString("password", &password);
  if (status.ok() && (!user || !password)) status = Status::BadRequest("username and password are required");
  std::string token;
  std::chrono::seconds retry_after{0};
  if (status.ok()) status = sessions_.Login(*user, *password, request.remote_addr, &token, &retry_after);
  if (!status.ok()) {
    Reply reply = ErrorReply(status);
    reply.retry_after_seconds = retry_after.count();
    return reply;
  }
  return Reply{200, JsonWriter().String("bearer_token", token).Finish()};
}

ClusterService::Reply ClusterService::Version() {
  return Reply{200, JsonWriter()
                        .String("revision_id", kRevision)
                        .String("build_id", "clustersim")
                        .String("flavor", "release")
                        .String("build_date", "2024-01-01T00:00:00Z")
                        .Finish()};
}

ClusterService::Reply ClusterService::WhoAmI() {
  // The only account may do everything the snap client asks of a cluster.
  return Reply{200, JsonWriter()
                        .String("id", "500")
                        .String("name", options_.user)
                        .String("primary_group", "513")
                        .String("sid", "S-1-5-21-0-0-0-500")
                        .String("uid", "")
                        .String("home_directory", "")
                        .Bool("can_change_password", false)
                        .Raw("privileges",
                             "[\"PRIVILEGE_NFS_EXPORT_READ\",\"PRIVILEGE_SNAPSHOT_DIFFERENCE_READ\","
                             "\"PRIVILEGE_SNAPSHOT_READ\",\"PRIVILEGE_SNAPSHOT_WRITE\"]")
                        .Finish()};
}

ClusterService::Reply ClusterService::Tenants(const std::string* id_text) {
  std::set<uint64_t> ids;
  for (const ExportConfig& config : options_.exports) ids.insert(static_cast<uint64_t>(config.tenant_id));
  auto record = [](uint64_t id) {
    return JsonWriter()
        .Number("id", static_cast<int64_t>(id))
        .String("name", "Tenant " + std::to_string(id))
        .Bool("nfs_enabled", true)
        .Raw("networks", "[]")
        .Finish();
  };
  if (id_text != nullptr) {
    uint64_t id = 0;
    if (!ParseDecimal(*id_text, &id)) return ErrorReply(Status::BadRequest("bad tenant id " + *id_text));
    if (ids.count(id) == 0) return ErrorReply(Status::NotFound("no tenant with id " + *id_text));
    return Reply{200, record(id)};
  }
  std::string body = "{\"entries\":[";
  for (uint64_t id : ids) body += (body.back() == '[' ? "" : ",") + record(id);
  return Reply{200, body + "]}"};
}

Status ClusterService::SnapshotParam(const httplib::Request& request, std::optional<SnapshotRecord>* out,
                                     ImageHandle* image) {
  out->reset();
  if (!request.has_param("snapshot")) return Status::Ok();
  const std::string text = request.get_param_value("snapshot");
  uint64_t id = 0;
  if (!ParseDecimal(text, &id)) return Status::BadRequest("bad snapshot id " + text);
  SnapshotRecord record;
  Status status = snapshots_.Get(id, &record);
  if (status.ok()) status = snapshots_.OpenImage(id, image);
  if (status.ok()) *out = record;
  return status;
}

Status ClusterService::FindFile(const std::string& ref, const SnapshotRecord* snapshot, FileTarget* out) {
  uint64_t id = 0;
  Status status;
  ResolvedPath live;
  if (!ref.empty() && ref[0] == '/') {
    if (snapshot == nullptr) {
      status = resolver_.Resolve(ref, &live);
      if (status.ok()) status = file_ids_.IdOf(live, &out->id);
      out->cluster_path = live.cluster_path;
      out->disk_path = live.disk_path;
      return status;
    }
    status = NormalizePath(ref, &out->cluster_path);
  } else if (ParseDecimal(ref, &id)) {
    out->id = id;
    status = file_ids_.Locate(id, &live);
    if (snapshot == nullptr) {
      out->cluster_path = live.cluster_path;
      out->disk_path = live.disk_path;
      return status;
    }
    // Gone from the live tree since: its copy is found where it was last seen.
    if (status.ok()) {
      out->cluster_path = live.cluster_path;
    } else if (status.http_status() == 404) {
      status = file_ids_.LastKnownPath(id, &out->cluster_path);
    }
  } else {
    status = Status::BadRequest("a file is named by its id or its absolute path, not " + ref);
  }
  if (status.ok()) status = snapshots_.LocateInImage(*snapshot, out->cluster_path, &out->disk_path);
  if (!status.ok() || out->id != 0) return status;
  // A copy carries the id of what holds its path now, as a cluster keeps ids across snapshots;
  // one whose path is gone from the live tree gets an id of its own.
  if (resolver_.Resolve(out->cluster_path, &live).ok()) return file_ids_.IdOf(live, &out->id);
  return file_ids_.IdOf(ResolvedPath{out->cluster_path, out->disk_path}, &out->id);
}

ClusterService::Reply ClusterService::FileAttributes(const httplib::Request& request, const std::string& ref) {
  std::optional<SnapshotRecord> snapshot;
  ImageHandle image;
  Status status = SnapshotParam(request, &snapshot, &image);
  FileTarget file;
  if (status.ok()) status = FindFile(ref, snapshot ? &*snapshot : nullptr, &file);
  Reply reply;
  if (status.ok()) status = AttributesJson(file.disk_path, file.cluster_path, file.id, &reply.body);
  return status.ok() ? reply : ErrorReply(status);
}

ClusterService::Reply ClusterService::DirectoryEntries(const httplib::Request& request, const std::string& raw_ref,
                                                       const std::string& ref) {
  std::optional<SnapshotRecord> snapshot;
  uint64_t limit = 0;
  Status status = PageLimit(request, &limit);
  ImageHandle image;
  if (status.ok()) status = SnapshotParam(request, &snapshot, &image);
  FileTarget dir;
  if (status.ok()) status = FindFile(ref, snapshot ? &*snapshot : nullptr, &dir);
  struct stat st;
  if (status.ok() && (::lstat(dir.disk_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    status = Status::BadRequest(dir.cluster_path + " is not a directory");
  }
  std::vector<std::string> names;
  if (status.ok()) {
    if (DIR* handle = ::opendir(dir.disk_path.c_str())) {
      while (struct dirent* entry = ::readdir(handle)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
            std::strcmp(entry->d_name, kSnapshotDirName) != 0) {
          names.emplace_back(entry->d_name);
        }
      }
      ::closedir(handle);
    } else {
      status = Status::Internal("cannot read " + dir.cluster_path);
    }
  }
  if (!status.ok()) return ErrorReply(status);
  std::sort(names.begin(), names.end());
  // The page key is the last name served, so that entries made or removed meanwhile shift nothing.
  auto it = names.begin();
  if (request.has_param("after")) it = std::upper_bound(names.begin(), names.end(), request.get_param_value("after"));
  const std::string prefix = dir.cluster_path == "/" ? "" : dir.cluster_path;
  std::string files;
  size_t served = 0;
  for (; it != names.end() && served < limit; ++it) {
    FileTarget child;
    std::string json;
    const std::string child_path = prefix + "/" + *it;
    if (snapshot) {
      status = FindFile(child_path, &*snapshot, &child);
    } else {
      child.cluster_path = child_path;
      child.disk_path = dir.disk_path + "/" + *it;
      status = file_ids_.IdOf(ResolvedPath{child.cluster_path, child.disk_path}, &child.id);
    }
    if (status.ok()) status = AttributesJson(child.disk_path, child.cluster_path, child.id, &json);
    if (status.http_status() == 404) continue;  // removed while listing
    if (!status.ok()) return ErrorReply(status);
    if (served++ > 0) files.push_back(',');
    files += json;
  }
  std::string next;
  if (it != names.end()) {
    next = "/v1/files/" + raw_ref + "/entries/?after=" + PercentEncode(*std::prev(it)) +
           "&limit=" + std::to_string(limit) + (snapshot ? "&snapshot=" + std::to_string(snapshot->id) : "");
  }
  std::string body = JsonWriter()
                         .String("path", prefix + "/")
                         .Id("id", dir.id)
                         .Number("child_count", static_cast<int64_t>(names.size()))
                         .Raw("files", "[" + files + "]")
                         .Finish();
  body.pop_back();
  body += ",\"paging\":{\"next\":";
  AppendJsonString(&body, next);
  return Reply{200, body + "}}"};
}

ClusterService::Reply ClusterService::NfsExports(int version) {
  std::string list;
  for (size_t i = 0; i < options_.exports.size(); ++i) {
    if (i > 0) list.push_back(',');
    list += JsonWriter()
                .Id("id", i + 1)
                .String("export_path", options_.exports[i].export_path)
                .String("fs_path", options_.exports[i].fs_path)
                .String("description", "")
                .Raw("restrictions", "[]")
                .Raw("fields_to_present_as_32_bit", "[]")
                .Number("tenant_id", options_.exports[i].tenant_id)
                .Finish();
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
  // v2 also takes a lifetime, which the record shows as the time it ends.
  if (status.ok() && version == 2 && request.has_param("expiration-time-to-live")) {
    expiration.emplace();
    status = ExpirationFromTimeToLive(request.get_param_value("expiration-time-to-live"), &*expiration);
  }
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

ClusterService::Reply ClusterService::PatchSnapshot(const httplib::Request& request, const std::string& id_text,
                                                    int version) {
  uint64_t id = 0;
  if (!ParseDecimal(id_text, &id)) return ErrorReply(Status::BadRequest("bad snapshot id " + id_text));
  std::optional<std::string> expiration;
  Status status;
  if (version == 2 && request.has_param("expiration-time-to-live")) {
    expiration.emplace();
    status = ExpirationFromTimeToLive(request.get_param_value("expiration-time-to-live"), &*expiration);
  } else {
    JsonObject body;
    status = JsonObject::Parse(request.body, &body);
    if (status.ok() && !body.Contains("expiration")) status = Status::BadRequest("the expiration field is required");
    if (status.ok()) status = body.GetString("expiration", &expiration);
  }
  SnapshotRecord record;
  if (status.ok()) status = snapshots_.SetExpiration(id, expiration.value_or(""), &record);
  if (!status.ok()) return ErrorReply(status);
  return Reply{200, version >= 3 ? SnapshotV3Json(record) : SnapshotV2Json(record)};
}

ClusterService::Reply ClusterService::ListSnapshots(const httplib::Request& request, int version, bool with_status) {
  bool with_deleting = with_status, only_deleting = false;
  if (with_status) {
    // Status lists show every snapshot, those being deleted included.
  } else if (version >= 3) {
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
    body += version >= 3 ? SnapshotV3Json(record, with_status) : SnapshotV2Json(record, with_status);
  }
  body += "]}";
  return Reply{200, std::move(body)};
}

ClusterService::Reply ClusterService::GetSnapshot(const std::string& id_text, int version, bool with_status) {
  uint64_t id = 0;
  if (!ParseDecimal(id_text, &id)) return ErrorReply(Status::BadRequest("bad snapshot id " + id_text));
  SnapshotRecord record;
  Status status = snapshots_.Get(id, &record);
  if (!status.ok()) return ErrorReply(status);
  return Reply{200, version >= 3 ? SnapshotV3Json(record, with_status) : SnapshotV2Json(record, with_status)};
}

ClusterService::Reply ClusterService::DeleteSnapshot(const std::string& id_text, int version) {
  uint64_t id = 0;
  if (!ParseDecimal(id_text, &id)) return ErrorReply(Status::BadRequest("bad snapshot id " + id_text));
  Status status = snapshots_.Delete(id);
  if (!status.ok()) return ErrorReply(status);
  return Reply{version >= 3 ? 202 : 200, ""};
}

Status ClusterService::SnapshotPair(const std::string& newer_text, const std::string& older_text,
                                    SnapshotRecord* newer, SnapshotRecord* older) {
  uint64_t newer_id = 0, older_id = 0;
  if (!ParseDecimal(newer_text, &newer_id) || !ParseDecimal(older_text, &older_id)) {
    return Status::BadRequest("bad snapshot id");
  }
  Status status = snapshots_.Get(newer_id, newer);
  if (status.ok()) status = snapshots_.Get(older_id, older);
  if (status.ok() && newer->source_file_id != older->source_file_id) {
    status = Status::SourceMismatch("snapshots " + newer_text + " and " + older_text + " are of different directories");
  }
  return status;
}

ClusterService::Reply ClusterService::FileChanges(const httplib::Request& request, int version,
                                                  const std::string& newer_text, const std::string& older_text,
                                                  const std::string& raw_ref, const std::string& ref) {
  SnapshotRecord newer, older;
  uint64_t limit = 0;
  Status status = PageLimit(request, &limit);
  if (status.ok()) status = SnapshotPair(newer_text, older_text, &newer, &older);
  ImageHandle newer_image, older_image;  // whole while the copies are read
  if (status.ok()) status = snapshots_.OpenImage(newer.id, &newer_image);
  if (status.ok()) status = snapshots_.OpenImage(older.id, &older_image);
  // The file as each snapshot holds it; absent from one of them, it was created or deleted between.
  FileTarget in_newer, in_older;
  Status newer_found = status, older_found = status;
  if (status.ok()) {
    newer_found = FindFile(ref, &newer, &in_newer);
    older_found = FindFile(ref, &older, &in_older);
    status = newer_found.ok() || newer_found.http_status() != 404 ? newer_found : older_found;
  }
  for (const FileTarget* file : {&in_newer, &in_older}) {
    struct stat st;
    if (status.ok() && !file->disk_path.empty() && ::lstat(file->disk_path.c_str(), &st) == 0 &&
        !S_ISREG(st.st_mode)) {
      status = Status::BadRequest(file->cluster_path + " is not a regular file");
    }
  }
  std::vector<FileRegion> regions;
  if (status.ok()) {
    status = CompareFileRegions(older_found.ok() ? in_older.disk_path : "",
                                newer_found.ok() ? in_newer.disk_path : "", version, &regions);
  }
  size_t begin = 0;
  const std::string after = request.get_param_value("after");
  if (status.ok() && !after.empty()) status = ParsePageToken(after, older.id, newer.id, regions.size(), &begin);
  if (!status.ok()) return ErrorReply(status);
  const size_t end = std::min(regions.size(), begin + static_cast<size_t>(limit));
  std::string body = "{\"entries\":[";
  for (size_t i = begin; i < end; ++i) {
    if (i > begin) body.push_back(',');
    body += JsonWriter()
                .String(version >= 3 ? "op" : "type", regions[i].kind)
                .Id("offset", regions[i].offset)
                .Id("size", regions[i].size)
                .Finish();
  }
  std::string next;
  if (end < regions.size()) {
    next = "/v" + std::to_string(version) + "/snapshots/" + std::to_string(newer.id) + "/changes-since/" +
           std::to_string(older.id) + "/files/" + raw_ref + "?after=" + MakePageToken(older.id, newer.id, end) +
           "&limit=" + std::to_string(limit);
  }
  body += "],\"paging\":{\"next\":";
  AppendJsonString(&body, next);
  return Reply{200, body + "}}"};
}

Status ClusterService::BuildDifference(const SnapshotRecord& older, const SnapshotRecord& newer,
                                       RenderedDiff* out) {
  out->set_raw_names(options_.raw_names);
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
  uint64_t limit = 0;
  SnapshotRecord newer, older;
  Status status = PageLimit(request, &limit);
  if (status.ok()) status = SnapshotPair(newer_text, older_text, &newer, &older);
  const uint64_t newer_id = newer.id, older_id = older.id;
  std::shared_ptr<const RenderedDiff> diff;
  if (status.ok()) {
    status = diff_cache_.Get(older_id, newer_id,
                             [&](RenderedDiff* out) { return BuildDifference(older, newer, out); }, &diff);
  }
  size_t begin = 0;
  uint64_t empties_served = 0;
  std::string after = request.get_param_value("after");
  if (status.ok() && options_.empty_pages > 0 && after.compare(0, 1, "e") == 0) {
    if (!ParseEmptyPageToken(after, older_id, newer_id, diff->size(), options_.empty_pages, &empties_served, &begin)) {
      status = Status::BadRequest("bad page token");
    }
  } else if (status.ok() && !after.empty()) {
    status = ParsePageToken(after, older_id, newer_id, diff->size(), &begin);
  }
  if (!status.ok()) return ErrorReply(status);
  if (empties_served < static_cast<uint64_t>(options_.empty_pages)) {
    const std::string token = "e" + std::to_string(empties_served + 1) + "." + std::to_string(older_id) + "." +
                              std::to_string(newer_id) + "." + std::to_string(begin);
    return Reply{200, "{\"entries\":[],\"paging\":{\"next\":\"/v2/snapshots/" + std::to_string(newer_id) +
                          "/changes-since/" + std::to_string(older_id) + "?after=" + token +
                          "&limit=" + std::to_string(limit) + "\"}}"};
  }

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
    if (status.ok()) status = body.OnlyKeys({"delay_ms"});
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
    if (status.ok()) status = body.OnlyKeys({"fs_path", "items"});
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
