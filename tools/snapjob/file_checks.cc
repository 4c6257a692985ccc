#include "file_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace snapjob {
namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string MapFileProblem(const std::string& path) {
  if (path.empty()) return std::string();
  const std::string what = "map file [" + path + "] ";
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return what + "is a directory";
    if (::access(path.c_str(), W_OK) != 0) return what + "cannot be written: " + std::strerror(errno);
    return std::string();
  }
  if (errno != ENOENT) return what + "cannot be used: " + std::strerror(errno);
  const std::string directory = Parent(path);
  if (::stat(directory.c_str(), &info) != 0) {
    return what + "cannot be created: its directory [" + directory + "]: " + std::strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return what + "cannot be created: [" + directory + "] is not a directory";
  if (::access(directory.c_str(), W_OK | X_OK) != 0) {
    return what + "cannot be created in directory [" + directory + "]: " + std::strerror(errno);
  }
  return std::string();
}

std::string CaFileProblem(const std::string& path) {
  if (path.empty()) return std::string();
  // Opened rather than asked about: read permission alone does not make a directory a CA file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "CA file [" + path + "] cannot be read: " + std::strerror(errno);
  struct stat info;
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  if (!regular) return "CA file [" + path + "] is not a regular file";
  return std::string();
}

}  // namespace snapjob
