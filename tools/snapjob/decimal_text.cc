#include "decimal_text.h"

#include <cerrno>
#include <cstdlib>

namespace snapjob {

bool ParseUnsignedDecimal(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseSignedDecimal(const std::string& text, int64_t* value) {
  const size_t digits = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0) return false;
  *value = parsed;
  return true;
}

}  // namespace snapjob
