#include "json_text.h"

#include <cstdio>

#include "WireText.h"

namespace snapjob {
namespace {

using Qumulo::Utf8SequenceLength;

void AppendEscape(std::string& out, const char* format, unsigned int value) {
  char buffer[8];
  std::snprintf(buffer, sizeof(buffer), format, value);
  out += buffer;
}

}  // namespace

bool AppendJsonString(std::string& out, const std::string& text) {
  bool exact = true;
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            AppendEscape(out, "\\u%04x", c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
      exact = false;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  out += '"';
  return exact;
}

std::string HexBytes(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(text.size() * 2);
  for (const char c : text) {
    hex += kDigits[(static_cast<unsigned char>(c) >> 4) & 0xF];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return hex;
}

}  // namespace snapjob
