#include "json_text.h"

#include <cstdio>

namespace snapjob {
namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;          // no overlong forms
    if (lead == 0xED) high = 0x9F;         // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;         // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

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
