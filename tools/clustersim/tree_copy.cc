#include "clustersim/tree_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "clustersim/path_resolver.h"

namespace clustersim {

namespace {

Status Failure(const char* what, const std::string& path) {
  return Status::Internal(std::string(what) + " " + path + ": " + std::strerror(errno));
}

Status ListNames(const std::string& dir_path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(dir_path.c_str());
  if (dir == nullptr) return Failure("cannot open directory", dir_path);
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names->push_back(entry->d_name);
  }
  ::closedir(dir);
  return Status::Ok();
}

Status CopyFileContents(const std::string& source, const std::string& target, const struct stat& st) {
  int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return Failure("cannot open", source);
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    Status status = Failure("cannot create", target);
    ::close(in);
    return status;
  }
  Status status;
  bool use_read_write = false;
  for (;;) {
    ssize_t n = use_read_write ? 0 : ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (!use_read_write && n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      use_read_write = true;
    }
    if (use_read_write) {
      char buffer[1 << 16];
      n = ::read(in, buffer, sizeof(buffer));
      for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
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
      status = Failure("cannot copy", source);
      break;
    }
  }
  if (status.ok()) {
    (void)!::fchown(out, st.st_uid, st.st_gid);
    if (::fchmod(out, st.st_mode & 07777) != 0) status = Failure("cannot set the mode of", target);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (status.ok() && ::futimens(out, times) != 0) status = Failure("cannot set the times of", target);
  }
  ::close(in);
  if (::close(out) != 0 && status.ok()) status = Failure("cannot write", target);
  return status;
}

Status CopyEntry(const std::string& source, const std::string& target, const struct stat& st);

Status CopyDirectory(const std::string& source, const std::string& target, const struct stat& st) {
  if (::mkdir(target.c_str(), 0700) != 0) return Failure("cannot make directory", target);
  std::vector<std::string> names;
  Status status = ListNames(source, &names);
  for (size_t i = 0; status.ok() && i < names.size(); ++i) {
    if (names[i] == kSnapshotDirName) continue;
    std::string child = source + "/" + names[i];
    struct stat child_st;
    if (::lstat(child.c_str(), &child_st) != 0) {
      if (errno == ENOENT) continue;  // removed while we copied
      return Failure("cannot stat", child);
    }
    status = CopyEntry(child, target + "/" + names[i], child_st);
  }
  if (!status.ok()) return status;
  // Mode and times last: adding entries would change the time, a read-only mode would block them.
  (void)!::lchown(target.c_str(), st.st_uid, st.st_gid);
  if (::chmod(target.c_str(), st.st_mode & 07777) != 0) return Failure("cannot set the mode of", target);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, target.c_str(), times, 0) != 0) return Failure("cannot set the times of", target);
  return Status::Ok();
}

Status CopyEntry(const std::string& source, const std::string& target, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return CopyDirectory(source, target, st);
  if (S_ISREG(st.st_mode)) return CopyFileContents(source, target, st);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> buffer(static_cast<size_t>(st.st_size) + 2);
    ssize_t n = ::readlink(source.c_str(), buffer.data(), buffer.size() - 1);
    if (n < 0) return Failure("cannot read link", source);
    buffer[static_cast<size_t>(n)] = '\0';
    if (::symlink(buffer.data(), target.c_str()) != 0) return Failure("cannot make link", target);
    (void)!::lchown(target.c_str(), st.st_uid, st.st_gid);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return Status::Ok();
  }
  if (S_ISFIFO(st.st_mode)) {
    if (::mkfifo(target.c_str(), st.st_mode & 07777) != 0) return Failure("cannot make fifo", target);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, target.c_str(), times, 0);
    return Status::Ok();
  }
  return Status::Ok();  // sockets and device nodes have no content worth freezing
}

}  // namespace

Status CopyTree(const std::string& source, const std::string& target) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) return Failure("cannot stat", source);
  if (!S_ISDIR(st.st_mode)) return Status::BadRequest(source + " is not a directory");
  Status status = CopyDirectory(source, target, st);
  if (!status.ok()) IgnoreError(RemoveTree(target));
  return status;
}

Status RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? Status::Ok() : Failure("cannot stat", path);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Failure("cannot remove", path);
    return Status::Ok();
  }
  ::chmod(path.c_str(), 0700);  // a frozen read-only directory must still be emptied
  std::vector<std::string> names;
  Status status = ListNames(path, &names);
  for (size_t i = 0; status.ok() && i < names.size(); ++i) status = RemoveTree(path + "/" + names[i]);
  if (!status.ok()) return status;
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) return Failure("cannot remove", path);
  return Status::Ok();
}

}  // namespace clustersim
