#include "clustersim/tree_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clustersim/path_resolver.h"

namespace clustersim {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Paths in messages are relative to the copy: an absolute one would tell clients where the state lives.
Status Failure(const char* what, const std::string& where) {
  return Status::Internal(std::string(what) + " " + where + ": " + std::strerror(errno));
}

// The entry went, or was replaced by a link or another type, between two looks at it.
bool Vanished(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

std::string Below(const std::string& where, const std::string& name) {
  return where.empty() ? name : where + "/" + name;
}

Status CopyFileContents(int in, int target_dir, const std::string& name, const struct stat& st,
                        const std::string& where) {
  UniqueFd out(::openat(target_dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) return Failure("cannot create", where);
  bool use_read_write = false;
  for (;;) {
    ssize_t n = use_read_write ? 0 : ::copy_file_range(in, nullptr, out.get(), nullptr, 1 << 30, 0);
    if (!use_read_write && n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      use_read_write = true;
    }
    if (use_read_write) {
      char buffer[1 << 16];
      n = ::read(in, buffer, sizeof(buffer));
      for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = ::write(out.get(), buffer + done, static_cast<size_t>(n - done));
        if (w < 0) {
          n = -1;
          break;
        }
        done += w;
      }
    }
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure("cannot copy", where);
    }
  }
  (void)!::fchown(out.get(), st.st_uid, st.st_gid);
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return Failure("cannot set the mode of", where);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.get(), times) != 0) return Failure("cannot set the times of", where);
  if (::close(out.Release()) != 0) return Failure("cannot write", where);
  return Status::Ok();
}

Status CopyDirectory(int source, const struct stat& st, int target_parent, const std::string& name,
                     const std::string& where);

Status CopyEntry(int source_dir, const std::string& name, int target_dir, const std::string& where) {
  struct stat st;
  if (::fstatat(source_dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Vanished(errno) ? Status::Ok() : Failure("cannot stat", where);
  }
  if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
    // Opened without following a link, and judged by what was opened: a name swapped since the
    // look above is left out rather than copied from wherever it now points.
    int flags = S_ISDIR(st.st_mode) ? kDirectoryFlags : O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::openat(source_dir, name.c_str(), flags));
    if (!fd.valid()) return Vanished(errno) ? Status::Ok() : Failure("cannot open", where);
    const mode_t type = st.st_mode & S_IFMT;
    if (::fstat(fd.get(), &st) != 0) return Failure("cannot stat", where);
    if ((st.st_mode & S_IFMT) != type) return Status::Ok();
    if (S_ISDIR(st.st_mode)) return CopyDirectory(fd.get(), st, target_dir, name, where);
    return CopyFileContents(fd.get(), target_dir, name, st, where);
  }
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> buffer(static_cast<size_t>(st.st_size) + 2);
    ssize_t n = ::readlinkat(source_dir, name.c_str(), buffer.data(), buffer.size() - 1);
    if (n < 0) return Vanished(errno) || errno == EINVAL ? Status::Ok() : Failure("cannot read link", where);
    buffer[static_cast<size_t>(n)] = '\0';
    if (::symlinkat(buffer.data(), target_dir, name.c_str()) != 0) return Failure("cannot make link", where);
    (void)!::fchownat(target_dir, name.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    ::utimensat(target_dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return Status::Ok();
  }
  if (S_ISFIFO(st.st_mode)) {
    if (::mkfifoat(target_dir, name.c_str(), st.st_mode & 07777) != 0) return Failure("cannot make fifo", where);
    ::utimensat(target_dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return Status::Ok();
  }
  return Status::Ok();  // sockets and device nodes have no content worth freezing
}

Status CopyDirectory(int source, const struct stat& st, int target_parent, const std::string& name,
                     const std::string& where) {
  if (::mkdirat(target_parent, name.c_str(), 0700) != 0) return Failure("cannot make directory", where);
  UniqueFd target(::openat(target_parent, name.c_str(), kDirectoryFlags));
  if (!target.valid()) return Failure("cannot open", where);
  std::vector<std::string> names;
  // A directory removed while we copy reads as empty: nothing is left to copy.
  Status status = ListNames(source, &names);
  for (size_t i = 0; status.ok() && i < names.size(); ++i) {
    if (names[i] == kSnapshotDirName) continue;
    status = CopyEntry(source, names[i], target.get(), Below(where, names[i]));
  }
  if (!status.ok()) return status;
  // Mode and times last: adding entries would change the time, a read-only mode would block them.
  (void)!::fchown(target.get(), st.st_uid, st.st_gid);
  if (::fchmod(target.get(), st.st_mode & 07777) != 0) return Failure("cannot set the mode of", where);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(target.get(), times) != 0) return Failure("cannot set the times of", where);
  return Status::Ok();
}

}  // namespace

Status OpenDirectoryBelow(int base_fd, const std::string& relative, UniqueFd* out) {
  UniqueFd dir(::openat(base_fd, ".", kDirectoryFlags));
  if (!dir.valid()) return Failure("cannot open", ".");
  size_t start = 0;
  while (start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string name = relative.substr(start, slash - start);
    start = slash + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return Status::BadRequest("a path below a directory holds ..");
    UniqueFd next(::openat(dir.get(), name.c_str(), kDirectoryFlags));
    if (!next.valid()) {
      if (Vanished(errno)) return Status::NoSuchEntry("no directory " + relative);
      return Failure("cannot open", relative);
    }
    dir = std::move(next);
  }
  *out = std::move(dir);
  return Status::Ok();
}

Status ListNames(int dir_fd, std::vector<std::string>* names) {
  // A fresh open of the directory: its own read position, whatever `dir_fd` has read.
  int fd = ::openat(dir_fd, ".", kDirectoryFlags);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    Status status = Failure("cannot read a directory", "");
    if (fd >= 0) ::close(fd);
    return status;
  }
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names->push_back(entry->d_name);
  }
  ::closedir(dir);
  return Status::Ok();
}

Status CopyTree(int source_fd, int target_parent_fd, const std::string& name) {
  struct stat st;
  if (::fstat(source_fd, &st) != 0) return Failure("cannot stat", ".");
  if (!S_ISDIR(st.st_mode)) return Status::BadRequest("not a directory");
  Status status = CopyDirectory(source_fd, st, target_parent_fd, name, "");
  if (!status.ok()) IgnoreError(RemoveTree(target_parent_fd, name));
  return status;
}

Status RemoveTree(int parent_fd, const std::string& name) {
  struct stat st;
  if (::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Status::Ok() : Failure("cannot stat", name);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(parent_fd, name.c_str(), 0) != 0 && errno != ENOENT) return Failure("cannot remove", name);
    return Status::Ok();
  }
  // A frozen read-only directory must still be emptied. (Trees removed here are the emulator's own.)
  ::fchmodat(parent_fd, name.c_str(), 0700, 0);
  UniqueFd dir(::openat(parent_fd, name.c_str(), kDirectoryFlags));
  if (!dir.valid()) return errno == ENOENT ? Status::Ok() : Failure("cannot open", name);
  std::vector<std::string> names;
  Status status = ListNames(dir.get(), &names);
  for (size_t i = 0; status.ok() && i < names.size(); ++i) status = RemoveTree(dir.get(), names[i]);
  if (!status.ok()) return status;
  if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return Failure("cannot remove", name);
  return Status::Ok();
}

}  // namespace clustersim
