#include "WireText.h"

namespace Qumulo {

static const char kHexDigits[] = "0123456789ABCDEF";

std::string PercentEncode(std::string_view value) {
  std::string out;
  out.reserve(value.size() + value.size() / 2);
  for (unsigned char c : value) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~' || c == '/';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    }
  }
  return out;
}

void AppendJsonString(std::string& out, std::string_view value) {
  out += '"';
  for (unsigned char c : value) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 0x0F];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

bool ParseDecimalId(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

bool PeekNextPageToken(std::string_view body, std::string& token) {
  // A key in quotes cannot occur inside a JSON string (its quotes would be escaped), so the last
  // match is the key itself.
  const size_t key = body.rfind("\"next\"");
  if (key == std::string_view::npos) return false;
  size_t i = key + 6;
  while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\n' || body[i] == '\r')) ++i;
  if (i >= body.size() || body[i] != ':') return false;
  ++i;
  while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\n' || body[i] == '\r')) ++i;
  if (i >= body.size() || body[i] != '"') return false;
  const size_t start = i + 1;
  const size_t end = body.find('"', start);
  if (end == std::string_view::npos) return false;
  const std::string_view value = body.substr(start, end - start);
  if (value.find('\\') != std::string_view::npos) return false;
  token.assign(value.data(), value.size());
  return true;
}

}  // namespace Qumulo
