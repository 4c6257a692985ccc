#include "clustersim/file_attributes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "clustersim/json.h"
#include "clustersim/path_resolver.h"
#include "clustersim/rfc3339.h"

namespace clustersim {

namespace {

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

Status AttributesJson(const std::string& disk_path, const std::string& cluster_path, uint64_t id,
                      std::string* out) {
  struct statx sx;
  if (::statx(AT_FDCWD, disk_path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    return Status::NoSuchEntry("no such path: " + cluster_path);
  }
  const bool is_directory = S_ISDIR(sx.stx_mode);
  std::string path = cluster_path;
  if (is_directory && path != "/") path += "/";
  char mode[16];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(sx.stx_mode & 07777));
  const struct statx_timestamp& creation = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
  *out = JsonWriter()
             .Id("id", id)
             .Id("file_number", id)
             .String("path", path)
             .String("name", cluster_path.substr(cluster_path.rfind('/') + 1))
             .String("type", FileTypeName(sx.stx_mode))
             .Id("size", sx.stx_size)
             .Id("owner", sx.stx_uid)
             .Id("group", sx.stx_gid)
             .String("mode", mode)
             .Number("num_links", sx.stx_nlink)
             .Number("child_count", is_directory ? ChildCount(disk_path) : 0)
             .String("access_time", Rfc3339(sx.stx_atime))
             .String("modification_time", Rfc3339(sx.stx_mtime))
             .String("change_time", Rfc3339(sx.stx_ctime))
             .String("creation_time", Rfc3339(creation))
             .Finish();
  return Status::Ok();
}

}  // namespace clustersim
