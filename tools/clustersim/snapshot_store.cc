#include "clustersim/snapshot_store.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "clustersim/json.h"
#include "clustersim/rfc3339.h"
#include "clustersim/tree_copy.h"

namespace clustersim {

namespace {

// The longest name whose "<id>_<name>" still fits a file-name component.
constexpr size_t kMaxNameBytes = 200;

Status ValidateName(const std::string& name) {
  if (name.empty()) return Status::BadRequest("snapshot name is empty");
  if (name.size() > kMaxNameBytes) return Status::BadRequest("snapshot name is longer than 200 bytes");
  // The name becomes part of a directory name on disk.
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
    return Status::BadRequest("snapshot name holds '/' or a NUL byte");
  }
  return Status::Ok();
}

// Records show an expiration as UTC with nanoseconds, whatever offset it was given in.
Status NormalizeExpiration(const std::string& given, std::string* out) {
  std::chrono::system_clock::time_point expires;
  if (given.empty()) {
    out->clear();
  } else if (ParseRfc3339(given, &expires)) {
    *out = FormatRfc3339(expires);
  } else {
    return Status::BadRequest("expiration is neither empty nor an RFC 3339 time: " + given);
  }
  return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Status::Internal("cannot write " + temp + ": " + std::strerror(errno));
  bool ok = true;
  for (size_t done = 0; ok && done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return Status::Internal("cannot write " + path + ": " + std::strerror(errno));
  }
  return Status::Ok();
}

// A cluster path as a record keeps it: "/" or "/a/b/", no empty, ".", ".." or ".snapshot" names.
bool IsRecordedDirectory(const std::string& path) {
  if (path == "/") return true;
  if (path.size() < 3 || path.front() != '/' || path.back() != '/' || path.find('\0') != std::string::npos) {
    return false;
  }
  for (size_t start = 1; start < path.size();) {
    size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash - start);
    if (name.empty() || name == "." || name == ".." || name == kSnapshotDirName) return false;
    start = slash + 1;
  }
  return true;
}

// A record read back must be one this store could have written: anything else could point its
// removal anywhere.
Status CheckRecord(const SnapshotRecord& record) {
  const std::string which = "snapshot record " + std::to_string(record.id) + ": ";
  if (record.id == 0) return Status::BadRequest("a snapshot record has id 0");
  Status status = ValidateName(record.name);
  if (!status.ok()) return Status::BadRequest(which + status.message());
  if (record.directory_name != std::to_string(record.id) + "_" + record.name) {
    return Status::BadRequest(which + "directory_name is not \"<id>_<name>\"");
  }
  if (!IsRecordedDirectory(record.source_path)) return Status::BadRequest(which + "source_path is not a directory path");
  if (record.source_file_id < FileIdTable::kFirstId) return Status::BadRequest(which + "source_file_id is not a file id");
  std::chrono::system_clock::time_point expires;
  if (!record.expiration.empty() && !ParseRfc3339(record.expiration, &expires)) {
    return Status::BadRequest(which + "expiration is not an RFC 3339 time");
  }
  return Status::Ok();
}

}  // namespace

namespace {

// The form kept in the state directory: everything the record holds.
std::string StateJson(const SnapshotRecord& record) {
  return JsonWriter()
      .Id("id", record.id)
      .String("name", record.name)
      .String("directory_name", record.directory_name)
      .Id("source_file_id", record.source_file_id)
      .String("source_path", record.source_path)
      .Number("timestamp", record.timestamp)
      .Number("timestamp_nsec", record.timestamp_nsec)
      .String("expiration", record.expiration)
      .Bool("in_delete", record.in_delete)
      .Finish();
}

}  // namespace

std::string SnapshotV2Json(const SnapshotRecord& record, bool with_status) {
  JsonWriter writer;
  writer.Number("id", static_cast<int64_t>(record.id))
      .String("name", record.name)
      .String("timestamp", FormatRfc3339(record.timestamp, record.timestamp_nsec))
      .String("directory_name", record.directory_name)
      .Id("source_file_id", record.source_file_id)
      .Bool("created_by_policy", false)
      .String("expiration", record.expiration)
      .Bool("in_delete", record.in_delete);
  if (with_status) writer.String("source_file_path", record.source_path).Raw("owners", "[]");
  return writer.Finish();
}

std::string SnapshotV3Json(const SnapshotRecord& record, bool with_status) {
  JsonWriter writer;
  // A v3 name is the entry under ".snapshot", id included.
  writer.Number("id", static_cast<int64_t>(record.id))
      .String("name", record.directory_name)
      .String("timestamp", FormatRfc3339(record.timestamp, record.timestamp_nsec))
      .Id("source_file_id", record.source_file_id)
      .Null("policy_id");
  if (record.expiration.empty()) {
    writer.Null("expiration");
  } else {
    writer.String("expiration", record.expiration);
  }
  writer.Bool("in_delete", record.in_delete);
  if (with_status) {
    writer.String("source_file_path", record.source_path).Null("policy_name").Raw("owners", "[]").Null("lock_key");
  }
  return writer.Finish();
}

ImageHandle::ImageHandle(ImageHandle&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)), id_(other.id_), fd_(std::move(other.fd_)) {}

ImageHandle& ImageHandle::operator=(ImageHandle&& other) noexcept {
  if (this != &other) {
    Release();
    store_ = std::exchange(other.store_, nullptr);
    id_ = other.id_;
    fd_ = std::move(other.fd_);
  }
  return *this;
}

void ImageHandle::Release() {
  fd_.Reset();
  if (store_ != nullptr) std::exchange(store_, nullptr)->Unpin(id_);
}

SnapshotStore::~SnapshotStore() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  removal_cv_.notify_all();
  if (remover_.joinable()) remover_.join();
}

Status SnapshotStore::Open(const std::string& state_dir, const PathResolver* resolver, FileIdTable* file_ids,
                           std::chrono::milliseconds delete_delay, std::function<void(uint64_t)> on_removed) {
  resolver_ = resolver;
  file_ids_ = file_ids;
  delete_delay_ = delete_delay;
  on_removed_ = std::move(on_removed);
  state_file_ = state_dir + "/snapshots.json";
  char real[PATH_MAX];
  if (::realpath(state_dir.c_str(), real) == nullptr) {
    return Status::Internal("cannot find " + state_dir + ": " + std::strerror(errno));
  }
  images_dir_ = std::string(real) + "/images";
  if (::mkdir(images_dir_.c_str(), 0755) != 0 && errno != EEXIST) {
    return Status::Internal("cannot make " + images_dir_ + ": " + std::strerror(errno));
  }
  images_fd_ = UniqueFd(::open(images_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  root_fd_ = UniqueFd(::open(resolver->DiskPathOf("/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!images_fd_.valid() || !root_fd_.valid()) return Status::Internal(std::string("cannot open: ") + std::strerror(errno));

  std::lock_guard<std::mutex> lock(mutex_);
  std::ifstream in(state_file_, std::ios::binary);
  Status status;
  if (in) {
    std::stringstream content;
    content << in.rdbuf();
    status = LoadLocked(content.str());
  }
  if (status.ok()) status = CheckImagesLocked();
  if (!status.ok()) return status.Annotate("the snapshot state in " + state_dir + " is refused");
  // Links that a stop left unmade are made; deletions that a stop interrupted go on.
  for (const auto& entry : snapshots_) {
    if (!entry.second.in_delete) Link(entry.second, -1);
    if (entry.second.in_delete) removals_[entry.first] = Clock::now() + delete_delay_;
    ScheduleExpiryLocked(entry.second);
  }
  remover_ = std::thread([this] { RemoveLoop(); });
  return Status::Ok();
}

Status SnapshotStore::LoadLocked(const std::string& content) {
  JsonObject state;
  Status status = JsonObject::Parse(content, &state);
  std::optional<uint64_t> next_id;
  if (status.ok()) status = state.GetUint("next_id", &next_id);
  // Read as empty, a damaged file would hand out ids whose images may still exist.
  if (status.ok() && (!next_id || !state.Has("snapshots"))) {
    status = Status::BadRequest("snapshots.json lacks next_id or snapshots");
  }
  if (status.ok()) {
    status = state.ForEachObject("snapshots", [this](const JsonObject& item) -> Status {
      SnapshotRecord record;
      std::optional<uint64_t> id, source_id, timestamp, timestamp_nsec;
      std::optional<std::string> name, directory_name, source_path, expiration;
      std::optional<bool> in_delete;
      Status s = item.GetUint("id", &id);
      if (s.ok()) s = item.GetUint("source_file_id", &source_id);
      if (s.ok()) s = item.GetUint("timestamp", &timestamp);
      if (s.ok()) s = item.GetUint("timestamp_nsec", &timestamp_nsec);
      if (s.ok()) s = item.GetString("name", &name);
      if (s.ok()) s = item.GetString("directory_name", &directory_name);
      if (s.ok()) s = item.GetString("source_path", &source_path);
      if (s.ok()) s = item.GetString("expiration", &expiration);
      if (s.ok()) s = item.GetBool("in_delete", &in_delete);
      if (!s.ok()) return s;
      if (!id || !source_id || !name || !directory_name || !source_path) {
        return Status::BadRequest("a snapshot record lacks a field");
      }
      record.id = *id;
      record.source_file_id = *source_id;
      record.timestamp = static_cast<int64_t>(timestamp.value_or(0));
      record.timestamp_nsec = static_cast<int64_t>(timestamp_nsec.value_or(0) % 1000000000);
      record.name = *name;
      record.directory_name = *directory_name;
      record.source_path = *source_path;
      record.expiration = expiration.value_or("");
      record.in_delete = in_delete.value_or(false);
      s = CheckRecord(record);
      if (!s.ok()) return s;
      if (!snapshots_.emplace(record.id, record).second) {
        return Status::BadRequest("two snapshot records have id " + std::to_string(record.id));
      }
      next_id_ = std::max(next_id_, record.id + 1);
      return Status::Ok();
    });
  }
  if (!status.ok()) return status.Annotate("reading " + state_file_);
  next_id_ = std::max(next_id_, *next_id);
  return Status::Ok();
}

Status SnapshotStore::CheckImagesLocked() {
  std::vector<std::string> names;
  Status status = ListNames(images_fd_.get(), &names);
  if (!status.ok()) return status.Annotate("reading " + images_dir_);
  if (!names.empty() && snapshots_.empty() && ::access(state_file_.c_str(), F_OK) != 0) {
    return Status::BadRequest(state_file_ + " is missing while " + images_dir_ + " holds " +
                              std::to_string(names.size()) + " images: restore the file, or remove the images");
  }
  // Images no record names were cut short by a stop before their record was saved, or outlived it.
  std::set<uint64_t> present;
  for (const std::string& name : names) {
    uint64_t id = 0;
    bool numbered = ParseDecimal(name, &id);
    if (numbered) next_id_ = std::max(next_id_, id + 1);  // never hand out an id that had an image
    if (numbered && snapshots_.count(id) > 0) {
      present.insert(id);
    } else {
      status = RemoveTree(images_fd_.get(), name);
      if (!status.ok()) return status.Annotate("removing the unrecorded image " + images_dir_ + "/" + name);
    }
  }
  for (const auto& entry : snapshots_) {
    // A record whose deletion a stop interrupted may have lost its image already.
    if (present.count(entry.first) > 0 || entry.second.in_delete) continue;
    status = AdoptOldImageLocked(entry.second);
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

// Earlier versions kept an image as a directory inside the snapshotted directory: it moves here.
Status SnapshotStore::AdoptOldImageLocked(const SnapshotRecord& record) {
  const std::string id = std::to_string(record.id);
  UniqueFd directory, snapshots;
  Status status = OpenSourceDirectory(resolver_->DiskPathOf(record.source_path), &directory);
  if (status.ok()) status = OpenDirectoryBelow(directory.get(), kSnapshotDirName, &snapshots);
  struct stat st;
  if (!status.ok() || ::fstatat(snapshots.get(), record.directory_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode)) {
    return Status::BadRequest("snapshot " + id + " has no image in " + images_dir_ +
                              ": restore it, or remove the snapshot's record");
  }
  if (::renameat(snapshots.get(), record.directory_name.c_str(), images_fd_.get(), id.c_str()) == 0) {
    return Status::Ok();
  }
  if (errno != EXDEV) return Status::Internal("cannot move the image of snapshot " + id + ": " + std::strerror(errno));
  UniqueFd old_image;
  status = OpenDirectoryBelow(snapshots.get(), record.directory_name, &old_image);
  if (status.ok()) status = CopyTree(old_image.get(), images_fd_.get(), id);
  if (status.ok()) status = RemoveTree(snapshots.get(), record.directory_name);
  return status.ok() ? status : status.Annotate("moving the image of snapshot " + id);
}

Status SnapshotStore::OpenSourceDirectory(const std::string& disk_path, UniqueFd* out) const {
  // The resolver's disk path has its symlinks resolved: from the root it is walked without following any.
  std::string relative = resolver_->ClusterPathOf(disk_path);
  if (relative.empty()) return Status::NoSuchEntry("the directory is gone");
  return OpenDirectoryBelow(root_fd_.get(), relative.substr(1), out);
}

// Best effort: the link only shows the image to readers of the served tree; the emulator
// never reads through it, and the next start makes a missing one again.
void SnapshotStore::Link(const SnapshotRecord& record, int directory_fd) const {
  UniqueFd located;
  if (directory_fd < 0) {
    ResolvedPath where;
    if (!file_ids_->Locate(record.source_file_id, &where).ok() ||
        !OpenSourceDirectory(where.disk_path, &located).ok()) {
      return;
    }
    directory_fd = located.get();
  }
  UniqueFd snapshots;
  if (!OpenDirectoryBelow(directory_fd, kSnapshotDirName, &snapshots).ok()) return;
  const std::string target = images_dir_ + "/" + std::to_string(record.id);
  (void)!::symlinkat(target.c_str(), snapshots.get(), record.directory_name.c_str());
}

void SnapshotStore::Unlink(const SnapshotRecord& record) const {
  ResolvedPath where;
  UniqueFd directory, snapshots;
  if (!file_ids_->Locate(record.source_file_id, &where).ok() || !OpenSourceDirectory(where.disk_path, &directory).ok() ||
      !OpenDirectoryBelow(directory.get(), kSnapshotDirName, &snapshots).ok()) {
    return;
  }
  struct stat st;
  if (::fstatat(snapshots.get(), record.directory_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    ::unlinkat(snapshots.get(), record.directory_name.c_str(), 0);
  }
}

Status SnapshotStore::SaveLocked() const {
  std::string body = "{\"next_id\":" + std::to_string(next_id_) + ",\"snapshots\":[";
  bool first = true;
  for (const auto& entry : snapshots_) {
    if (!first) body += ",\n";
    first = false;
    body += StateJson(entry.second);
  }
  body += "]}\n";
  return WriteFileAtomically(state_file_, body);
}

std::string SnapshotStore::ImagePath(const SnapshotRecord& record) const {
  return images_dir_ + "/" + std::to_string(record.id);
}

Status SnapshotStore::OpenImage(uint64_t id, ImageHandle* out) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (snapshots_.count(id) == 0) return Status::NoSuchSnapshot("no snapshot with id " + std::to_string(id));
    ++readers_[id];
  }
  ImageHandle handle;
  handle.store_ = this;
  handle.id_ = id;
  handle.fd_ = UniqueFd(::openat(images_fd_.get(), std::to_string(id).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!handle.fd_.valid()) {
    return Status::Internal("the image of snapshot " + std::to_string(id) + " is missing: " + std::strerror(errno));
  }
  *out = std::move(handle);
  return Status::Ok();
}

void SnapshotStore::Unpin(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = readers_.find(id);
  if (it != readers_.end() && --it->second == 0) {
    readers_.erase(it);
    readers_cv_.notify_all();
  }
}

Status SnapshotStore::Create(const std::string& name, uint64_t source_file_id, const ResolvedPath& source,
                             const std::string& expiration, SnapshotRecord* out) {
  Status status = ValidateName(name);
  if (!status.ok()) return status;
  std::string expires;
  status = NormalizeExpiration(expiration, &expires);
  if (!status.ok()) return status;
  struct stat st;
  if (::lstat(source.disk_path.c_str(), &st) != 0) return Status::NoSuchEntry("the directory is gone");
  if (!S_ISDIR(st.st_mode)) return Status::BadRequest(source.cluster_path + " is not a directory");
  // Copied from a descriptor: whatever the tree does meanwhile, the copy stays in this directory.
  UniqueFd directory;
  status = OpenSourceDirectory(source.disk_path, &directory);
  if (!status.ok()) return status.http_status() == 404 ? Status::NoSuchEntry("the directory is gone") : status;
  // Made before the copy, so that the image already has the directory's time with ".snapshot" in it.
  UniqueFd snapshots;
  if (::mkdirat(directory.get(), kSnapshotDirName, 0755) != 0 && errno != EEXIST) {
    return Status::Internal("cannot make .snapshot in " + source.cluster_path + ": " + std::strerror(errno));
  }
  status = OpenDirectoryBelow(directory.get(), kSnapshotDirName, &snapshots);
  if (!status.ok()) return Status::Internal(".snapshot in " + source.cluster_path + " is not a directory");

  SnapshotRecord record;
  {
    // Saved with the record only: an image left by a stop mid-copy still keeps its id from being
    // handed out again, as the next start counts past every image it finds before removing it.
    std::lock_guard<std::mutex> lock(mutex_);
    record.id = next_id_++;
  }
  record.name = name;
  record.directory_name = std::to_string(record.id) + "_" + name;
  record.source_file_id = source_file_id;
  record.source_path = source.cluster_path == "/" ? "/" : source.cluster_path + "/";
  struct timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  record.timestamp = now.tv_sec;
  record.timestamp_nsec = now.tv_nsec;
  record.expiration = expires;

  const std::string image_name = std::to_string(record.id);
  status = CopyTree(directory.get(), images_fd_.get(), image_name);
  if (!status.ok()) return status.Annotate("freezing " + source.cluster_path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots_[record.id] = record;
    status = SaveLocked();
    if (!status.ok()) {
      snapshots_.erase(record.id);
      IgnoreError(RemoveTree(images_fd_.get(), image_name));
      return status;
    }
    ScheduleExpiryLocked(record);
  }
  Link(record, directory.get());
  *out = record;
  return Status::Ok();
}

void SnapshotStore::ScheduleExpiryLocked(const SnapshotRecord& record) {
  std::chrono::system_clock::time_point expires;
  if (record.in_delete || record.expiration.empty() || !ParseRfc3339(record.expiration, &expires)) return;
  expiries_[record.id] = expires;
  removal_cv_.notify_all();
}

std::vector<SnapshotRecord> SnapshotStore::List() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SnapshotRecord> records;
  records.reserve(snapshots_.size());
  for (const auto& entry : snapshots_) records.push_back(entry.second);
  return records;
}

Status SnapshotStore::Get(uint64_t id, SnapshotRecord* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = snapshots_.find(id);
  if (it == snapshots_.end()) return Status::NoSuchSnapshot("no snapshot with id " + std::to_string(id));
  *out = it->second;
  return Status::Ok();
}

Status SnapshotStore::Delete(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = snapshots_.find(id);
    if (it == snapshots_.end()) return Status::NoSuchSnapshot("no snapshot with id " + std::to_string(id));
    expiries_.erase(id);
    if (!it->second.in_delete) {
      it->second.in_delete = true;
      Status status = SaveLocked();
      if (!status.ok()) {
        it->second.in_delete = false;
        return status;
      }
    }
    if (delete_delay_.count() > 0) {
      removals_.emplace(id, Clock::now() + delete_delay_);
      removal_cv_.notify_all();
      return Status::Ok();
    }
    removals_.erase(id);
  }
  Remove(id);
  return Status::Ok();
}

Status SnapshotStore::SetExpiration(uint64_t id, const std::string& given, SnapshotRecord* out) {
  std::string expiration;
  Status status = NormalizeExpiration(given, &expiration);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = snapshots_.find(id);
  if (it == snapshots_.end()) return Status::NoSuchSnapshot("no snapshot with id " + std::to_string(id));
  if (it->second.in_delete) return Status::BadRequest("snapshot " + std::to_string(id) + " is being deleted");
  const std::string previous = it->second.expiration;
  it->second.expiration = expiration;
  status = SaveLocked();
  if (!status.ok()) {
    it->second.expiration = previous;
    return status;
  }
  expiries_.erase(id);
  ScheduleExpiryLocked(it->second);
  *out = it->second;
  return Status::Ok();
}

Status SnapshotStore::LocateInImage(const SnapshotRecord& record, const std::string& cluster_path,
                                    std::string* disk_path) const {
  const std::string& base = record.source_path;  // ends with "/"
  std::string relative;
  if (cluster_path + "/" == base || cluster_path == base) {
    relative.clear();
  } else if (cluster_path.compare(0, base.size(), base) == 0) {
    relative = cluster_path.substr(base.size());
  } else {
    return Status::NoSuchEntry("no such path in snapshot " + std::to_string(record.id) + ": " + cluster_path);
  }
  std::string path = ImagePath(record);
  size_t start = 0;
  while (start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string name = relative.substr(start, slash - start);
    start = slash + 1;
    if (name.empty() || name == ".") continue;
    struct stat st;
    // Every step is a real directory of the image, so nothing reached lies outside it.
    if (name == ".." || name == kSnapshotDirName || ::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return Status::NoSuchEntry("no such path in snapshot " + std::to_string(record.id) + ": " + cluster_path);
    }
    path += "/" + name;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return Status::NoSuchEntry("no such path in snapshot " + std::to_string(record.id) + ": " + cluster_path);
  }
  *disk_path = path;
  return Status::Ok();
}

void SnapshotStore::SetDeleteDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delete_delay_ = delay;
}

void SnapshotStore::Remove(uint64_t id) {
  SnapshotRecord record;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = snapshots_.find(id);
    if (it == snapshots_.end()) return;
    record = it->second;
  }
  Unlink(record);
  {
    // The record goes first, so that no comparison starts on the image; the image only once
    // those under way are done, so that none sees it half removed. A stop in between leaves an
    // image without a record, which the next start removes.
    std::unique_lock<std::mutex> lock(mutex_);
    snapshots_.erase(id);
    IgnoreError(SaveLocked());
    readers_cv_.wait(lock, [&] { return readers_.count(id) == 0; });
  }
  // A failed removal leaves files nobody lists, until the next start; the record goes regardless,
  // as on a cluster whose background deletion does not report back.
  IgnoreError(RemoveTree(images_fd_.get(), std::to_string(id)));
  if (on_removed_) on_removed_(id);
}

void SnapshotStore::RemoveLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    // Expired snapshots are deleted as if a client had asked.
    auto system_now = std::chrono::system_clock::now();
    bool expired = false;
    for (auto it = expiries_.begin(); it != expiries_.end();) {
      auto record = snapshots_.find(it->first);
      if (it->second <= system_now && record != snapshots_.end()) {
        record->second.in_delete = true;
        expired = true;
        removals_.emplace(it->first, Clock::now() + delete_delay_);
        it = expiries_.erase(it);
      } else {
        ++it;
      }
    }
    // One write for all that expired together.
    if (expired) IgnoreError(SaveLocked());
    Clock::time_point wake = Clock::time_point::max();
    for (const auto& entry : expiries_) {
      // Looked at again within the hour, so that a change of the wall clock is noticed.
      auto left = std::min<std::chrono::system_clock::duration>(entry.second - system_now, std::chrono::hours(1));
      wake = std::min(wake, Clock::now() + std::chrono::duration_cast<Clock::duration>(left));
    }
    auto next = std::min_element(removals_.begin(), removals_.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    if (next != removals_.end() && next->second <= Clock::now()) {
      uint64_t id = next->first;
      removals_.erase(next);
      lock.unlock();
      Remove(id);
      lock.lock();
      continue;
    }
    if (next != removals_.end()) wake = std::min(wake, next->second);
    if (wake == Clock::time_point::max()) {
      removal_cv_.wait(lock);
    } else {
      removal_cv_.wait_until(lock, wake);
    }
  }
}

}  // namespace clustersim
