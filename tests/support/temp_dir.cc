#include "snaptest/temp_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace snaptest {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::fprintf(stderr, "TempDir: cannot make %s: %s\n", pattern.c_str(), std::strerror(errno));
    std::abort();
  }
  path_ = buffer.data();
}

TempDir::~TempDir() { RemoveAll(path_); }

std::string TempDir::Sub(const std::string& relative) const { return path_ + "/" + relative; }

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return out.write(content.data(), static_cast<std::streamsize>(content.size())).flush().good();
}

bool MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

bool RemoveAll(const std::string& path) {
  // Tests leave read-only directories behind (snapshot images keep their modes): open them first.
  std::error_code ec, ignored;
  if (fs::is_directory(fs::symlink_status(path, ec))) {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
  }
  fs::remove_all(path, ec);
  return !ec;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace snaptest
