#include "FXPath.h"

#include "FXString.h"

static std::string WithoutTrailingDelimiters(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

CQiError FXPath::Append(std::string& path, const std::string& part, unsigned int /*flags*/) {
  if (path.empty()) {
    path = part;
    return CQiError::Success();
  }
  size_t start = part.find_first_not_of('/');
  std::string tail = start == std::string::npos ? std::string() : part.substr(start);
  path = WithoutTrailingDelimiters(path);
  path += '/';
  path += tail;
  return CQiError::Success();
}

CQiError FXPath::AppendTrailingDelimiter(std::string& path) { return Append(path, "/", 0); }

CQiError FXPath::RemoveTrailingDelimiter(std::string& path) {
  FXString::RemoveRight(path, "/");
  return CQiError::Success();
}

bool FXPath::IsAncestorOf(const std::string& a, const std::string& b, bool includeSelf) {
  // "/" and "" both stand for the root; every other comparison ignores trailing delimiters.
  const std::string base = WithoutTrailingDelimiters(a);
  const std::string path = WithoutTrailingDelimiters(b);
  if (path == base) return includeSelf;
  if (!FXString::MatchLeft(path, base)) return false;
  return path.size() > base.size() && path[base.size()] == '/';
}

bool FXPath::IsDescendantOf(const std::string& a, const std::string& b, bool includeSelf) {
  return IsAncestorOf(b, a, includeSelf);
}
