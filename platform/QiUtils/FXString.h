#ifndef QIUTILS_FXSTRING_H
#define QIUTILS_FXSTRING_H

#include <cstdarg>
#include <string>

// String helpers of the framework. Stateless; safe from any thread.
class FXString {
 public:
  // The printf-formatted text.
  static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static std::string FormatV(const char* format, va_list args);

  // True when s begins with prefix (case-sensitive); false when s is shorter than prefix.
  static bool MatchLeft(const std::string& s, const std::string& prefix);

  // Replaces a leading `from` of s by `to`; an empty `from` puts `to` in front of s.
  // Returns true when the replacement was made; otherwise s is unchanged.
  static bool ReplaceLeft(std::string& s, const std::string& from, const std::string& to);

  // Removes one trailing `suffix` from s, if s ends with it ("/" with suffix "/" becomes "").
  static bool RemoveRight(std::string& s, const std::string& suffix);
};

#endif
