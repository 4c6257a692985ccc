#include "ClusterNames.h"

#include <cstdio>

namespace clusternames {

bool IsSingleComponent(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

bool IsWithin(const std::string& path, const std::string& directory) {
  size_t base = directory.size();
  while (base > 0 && directory[base - 1] == '/') --base;
  if (path.empty() || path[0] != '/' || path.compare(0, base, directory, 0, base) != 0) return false;
  if (directory.find('\0') != std::string::npos) return false;
  const size_t size = path.size();
  if (size == base) return true;     // the directory itself, without its "/"
  if (path[base] != '/') return false;  // "/fs/projects2" is not below "/fs/projects"
  // One pass over the components after the directory: each non-empty, not "." or "..", no NUL; an
  // empty one only at the very end, which is a directory's trailing "/". Runs once per item.
  const char* const text = path.data();
  size_t start = base + 1;
  for (size_t i = start; i <= size; ++i) {
    const char c = i < size ? text[i] : '/';
    if (c == '\0') return false;
    if (c != '/') continue;
    const size_t length = i - start;
    if (length == 0) return i == size;
    if (text[start] == '.' && (length == 1 || (length == 2 && text[start + 1] == '.'))) return false;
    start = i + 1;
  }
  return true;
}

std::string Shown(const std::string& text) {
  constexpr size_t kMaxShown = 512;
  std::string out;
  size_t i = 0;
  for (; i < text.size() && out.size() < kMaxShown; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
      out += escape;
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (i < text.size()) out += "...";
  return out;
}

}  // namespace clusternames
