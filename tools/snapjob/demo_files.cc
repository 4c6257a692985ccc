#include "demo_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>

#include "json_text.h"

namespace snapjob {
namespace {

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

bool WriteFile(const std::string& path, const std::string& content, unsigned int mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, content);
  return ::close(fd) == 0 && ok;
}

bool WritePrivateFile(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, content);
  return ::close(fd) == 0 && ok;
}

bool ReadFile(const std::string& path, std::string* content) {
  FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr) return false;
  content->clear();
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), stream)) > 0) content->append(buffer, got);
  const bool ok = !std::ferror(stream);
  std::fclose(stream);
  return ok;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string MountTableField(const std::string& path) {
  std::string out;
  for (const char c : path) {
    switch (c) {
      case ' ': out += "\\040"; break;
      case '\t': out += "\\011"; break;
      case '\n': out += "\\012"; break;
      case '\\': out += "\\134"; break;
      default: out += c;
    }
  }
  return out;
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t done = 0;
  while (done < bytes) {
    const ssize_t got = ::getrandom(&raw[done], bytes - done, 0);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  if (done < bytes) {  // no kernel randomness: still unpredictable enough for a throw-away secret
    std::random_device device;
    for (size_t i = done; i < bytes; ++i) raw[i] = static_cast<char>(device());
  }
  return HexBytes(raw);
}

}  // namespace snapjob
