#include "FXString.h"

#include <cstdio>
#include <vector>

std::string FXString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

std::string FXString::FormatV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof(small)) return std::string(small, static_cast<size_t>(needed));
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  std::vsnprintf(large.data(), large.size(), format, args);
  return std::string(large.data(), static_cast<size_t>(needed));
}

bool FXString::MatchLeft(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool FXString::ReplaceLeft(std::string& s, const std::string& from, const std::string& to) {
  if (!MatchLeft(s, from)) return false;
  s.replace(0, from.size(), to);
  return true;
}

bool FXString::RemoveRight(std::string& s, const std::string& suffix) {
  if (suffix.empty() || s.size() < suffix.size()) return false;
  if (s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  s.erase(s.size() - suffix.size());
  return true;
}
