#include "WireText.h"

#include <cstring>
#include <vector>

namespace Qumulo {

static const char kHexDigits[] = "0123456789ABCDEF";

size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  const unsigned char second = static_cast<unsigned char>(text[i + 1]);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

std::string PercentEncode(std::string_view value) {
  std::string out;
  out.reserve(value.size() + value.size() / 2);
  for (unsigned char c : value) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
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
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(value, i);
      if (length > 0) {
        out.append(value, i, length);
        i += length;
      } else {
        out += "\\udc";
        out += static_cast<char>(kHexDigits[c >> 4] | 0x20);  // lower-case hex, as JSON encoders write it
        out += static_cast<char>(kHexDigits[c & 0x0F] | 0x20);
        ++i;
      }
      continue;
    }
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
    ++i;
  }
  out += '"';
}

namespace {

bool ReadHex4(std::string_view text, size_t i, unsigned& value) {
  if (i + 4 > text.size()) return false;
  value = 0;
  for (size_t k = i; k < i + 4; ++k) {
    const char c = text[k];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  return true;
}

bool ReadHex2(std::string_view text, size_t i, unsigned& value) {
  if (i + 2 > text.size()) return false;
  value = 0;
  for (size_t k = i; k < i + 2; ++k) {
    const char c = text[k];
    if (c >= '0' && c <= '9') {
      value = value * 16 + static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      value = value * 16 + static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;  // the marks are written in upper case only
    }
  }
  return value >= 0x80;
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The encoder escapes exactly the bytes that start no valid sequence; any other escaping would
// let two wire forms stand for one name.
bool EscapesAreCanonical(std::string_view bytes, const std::vector<size_t>& escaped) {
  size_t next = 0;  // index into escaped, whose positions ascend
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0) {
      if (next == escaped.size() || escaped[next] != i) return false;
      ++next;
      ++i;
    } else {
      if (next < escaped.size() && escaped[next] < i + length) return false;
      i += length;
    }
  }
  return next == escaped.size();
}

}  // namespace

bool DecodeJsonString(std::string_view escaped, std::string& out, bool rawMarks) {
  out.clear();
  out.reserve(escaped.size());
  std::vector<size_t> byteEscapes;
  bool rawBytes = false;
  for (size_t i = 0; i < escaped.size();) {
    const char c = escaped[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') return false;
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= escaped.size()) return false;
    const char kind = escaped[i + 1];
    i += 2;
    switch (kind) {
      case '"': out += '"'; continue;
      case '\\': out += '\\'; continue;
      case '/': out += '/'; continue;
      case 'b': out += '\b'; continue;
      case 'f': out += '\f'; continue;
      case 'n': out += '\n'; continue;
      case 'r': out += '\r'; continue;
      case 't': out += '\t'; continue;
      case 'u': break;
      case 'x': {
        unsigned byte;
        if (!rawMarks || !ReadHex2(escaped, i, byte)) return false;
        i += 2;
        rawBytes = true;
        out += static_cast<char>(byte);
        continue;
      }
      default: return false;
    }
    unsigned code;
    if (!ReadHex4(escaped, i, code)) return false;
    i += 4;
    if (code >= 0xD800 && code <= 0xDBFF) {
      unsigned low;
      if (i + 6 > escaped.size() || escaped[i] != '\\' || escaped[i + 1] != 'u' || !ReadHex4(escaped, i + 2, low) ||
          low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      i += 6;
      AppendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
    } else if (code >= 0xDC80 && code <= 0xDCFF) {
      byteEscapes.push_back(out.size());
      out += static_cast<char>(code - 0xDC00);
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    } else {
      AppendUtf8(out, code);
    }
  }
  if (rawBytes) return byteEscapes.empty();
  return byteEscapes.empty() || EscapesAreCanonical(out, byteEscapes);
}

bool MarkRawBytes(std::string_view body, std::string& out) {
  out.clear();
  out.reserve(body.size() + 64);
  bool inString = false;
  for (size_t i = 0; i < body.size();) {
    const char c = body[i];
    if (!inString) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
      inString = c == '"';
      out += c;
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= body.size() || body[i + 1] == 'x') return false;
      out.append(body, i, 2);
      i += 2;
    } else if (c == '"') {
      inString = false;
      out += c;
      ++i;
    } else {
      const size_t length = Utf8SequenceLength(body, i);
      if (length == 0) {
        const unsigned char byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0x0F];
        ++i;
      } else {
        out.append(body, i, length);
        i += length;
      }
    }
  }
  return true;
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

namespace {

bool ReadDigits(std::string_view text, size_t& i, size_t count, int& value) {
  if (i + count > text.size()) return false;
  value = 0;
  for (size_t end = i + count; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool Expect(std::string_view text, size_t& i, char c) {
  if (i >= text.size() || text[i] != c) return false;
  ++i;
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool ParseRfc3339(std::string_view text, int64_t& seconds) {
  size_t i = 0;
  int year, month, day, hour, minute, second;
  if (!ReadDigits(text, i, 4, year) || !Expect(text, i, '-') || !ReadDigits(text, i, 2, month) ||
      !Expect(text, i, '-') || !ReadDigits(text, i, 2, day)) {
    return false;
  }
  if (i >= text.size() || (text[i] != 'T' && text[i] != 't')) return false;
  ++i;
  if (!ReadDigits(text, i, 2, hour) || !Expect(text, i, ':') || !ReadDigits(text, i, 2, minute) ||
      !Expect(text, i, ':') || !ReadDigits(text, i, 2, second)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
      second > 60) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    const size_t start = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == start) return false;
  }
  int64_t offset = 0;
  if (i < text.size() && (text[i] == 'Z' || text[i] == 'z')) {
    ++i;
  } else if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    const int sign = text[i++] == '+' ? 1 : -1;
    int offsetHours, offsetMinutes;
    if (!ReadDigits(text, i, 2, offsetHours) || !Expect(text, i, ':') || !ReadDigits(text, i, 2, offsetMinutes) ||
        offsetHours > 23 || offsetMinutes > 59) {
      return false;
    }
    offset = sign * (offsetHours * 3600 + offsetMinutes * 60);
  } else {
    return false;
  }
  if (i != text.size()) return false;
  seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  return true;
}

bool IsRelativeUri(std::string_view text) {
  if (text.empty() || text[0] != '/' || (text.size() > 1 && text[1] == '/')) return false;
  for (char c : text) {
    // A backslash reads as "/" to some URL parsers, which would make "/\host" a host.
    if (c <= 0x20 || c >= 0x7F || c == '\\') return false;
  }
  return true;
}

namespace {

size_t SkipBlanks(std::string_view body, size_t i) {
  while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\n' || body[i] == '\r')) ++i;
  return i;
}

// From the opening quote of a string to just past its closing one; npos when it is cut short.
size_t SkipString(std::string_view body, size_t i) {
  for (++i; i < body.size();) {
    const void* found = std::memchr(body.data() + i, '"', body.size() - i);
    if (found == nullptr) return std::string_view::npos;
    size_t quote = static_cast<size_t>(static_cast<const char*>(found) - body.data());
    size_t backslashes = 0;
    while (quote - backslashes > i && body[quote - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return quote + 1;
    i = quote + 1;
  }
  return std::string_view::npos;
}

// Past one value of any kind, without reading it; npos when it is cut short.
size_t SkipValue(std::string_view body, size_t i) {
  if (i >= body.size()) return std::string_view::npos;
  if (body[i] == '"') return SkipString(body, i);
  if (body[i] != '{' && body[i] != '[') {
    while (i < body.size() && std::strchr(",}] \t\n\r", body[i]) == nullptr) ++i;
    return i;
  }
  size_t depth = 0;
  while (i < body.size()) {
    const char c = body[i];
    if (c == '"') {
      i = SkipString(body, i);
      if (i == std::string_view::npos) return i;
      continue;
    }
    if (c == '{' || c == '[') ++depth;
    if ((c == '}' || c == ']') && --depth == 0) return i + 1;
    ++i;
  }
  return std::string_view::npos;
}

// Walks the members of the object that opens at body[i], calling onMember(key, value position),
// which returns the position past the value or npos. Returns the position past the object, or npos.
template <typename OnMember>
size_t WalkMembers(std::string_view body, size_t i, OnMember&& onMember) {
  if (i >= body.size() || body[i] != '{') return std::string_view::npos;
  i = SkipBlanks(body, i + 1);
  if (i < body.size() && body[i] == '}') return i + 1;
  while (i < body.size() && body[i] == '"') {
    const size_t keyEnd = SkipString(body, i);
    if (keyEnd == std::string_view::npos) return keyEnd;
    const std::string_view key = body.substr(i + 1, keyEnd - i - 2);
    i = SkipBlanks(body, keyEnd);
    if (i >= body.size() || body[i] != ':') return std::string_view::npos;
    i = onMember(key, SkipBlanks(body, i + 1));
    if (i == std::string_view::npos) return i;
    i = SkipBlanks(body, i);
    if (i < body.size() && body[i] == '}') return i + 1;
    if (i >= body.size() || body[i] != ',') return std::string_view::npos;
    i = SkipBlanks(body, i + 1);
  }
  return std::string_view::npos;
}

// Reads the "paging" object at body[at]: `link` gets its last "next" when that is a string.
size_t ReadPaging(std::string_view body, size_t at, std::string_view& link, bool& found) {
  return WalkMembers(body, at, [&](std::string_view key, size_t value) {
    const size_t after = SkipValue(body, value);
    if (key == "next" && after != std::string_view::npos && body[value] == '"') {
      link = body.substr(value + 1, after - value - 2);
      found = true;
    }
    return after;
  });
}

}  // namespace

bool PeekNextPageToken(std::string_view body, std::string& token) {
  // Only the top object's "paging" and in it "next", as the parser reads them: a "next" anywhere
  // else, inside an entry say, is no link. Of repeated keys the last one counts, as in the parser.
  bool found = false;
  std::string_view link;
  size_t end = std::string_view::npos;
  // The cluster writes "paging" last. A "paging" key whose object is followed by nothing but the
  // one "}" that closes the document is then a member of the top object, read without a walk
  // through the megabyte of entries before it.
  const size_t key = body.rfind("\"paging\"");
  size_t before = key;
  while (before != std::string_view::npos && before > 0 && std::strchr(" \t\n\r", body[before - 1]) != nullptr) {
    --before;
  }
  if (before != std::string_view::npos && before > 0 && (body[before - 1] == ',' || body[before - 1] == '{')) {
    size_t at = SkipBlanks(body, key + 8);
    if (at < body.size() && body[at] == ':') {
      at = ReadPaging(body, SkipBlanks(body, at + 1), link, found);
      if (at != std::string_view::npos) at = SkipBlanks(body, at);
      if (at != std::string_view::npos && at < body.size() && body[at] == '}' && SkipBlanks(body, at + 1) == body.size()) {
        end = body.size();
      }
    }
  }
  if (end == std::string_view::npos) {
    found = false;
    end = WalkMembers(body, SkipBlanks(body, 0), [&](std::string_view member, size_t at) {
      if (member != "paging" || at >= body.size() || body[at] != '{') return SkipValue(body, at);
      return ReadPaging(body, at, link, found);
    });
  }
  if (end == std::string_view::npos || !found || link.find('\\') != std::string_view::npos) return false;
  token.assign(link.data(), link.size());
  return true;
}

}  // namespace Qumulo
