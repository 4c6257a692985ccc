#include "clustersim/request_framing.h"

#include <cstring>

namespace clustersim {

namespace {

bool IsTokenChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

// Field values may hold any byte but controls (a tab excepted).
bool IsFieldValue(std::string_view text) {
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    if (EqualsIgnoringCase(TrimSpace(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// httplib percent-decodes header values; escaping "%" makes its decoding give back the bytes sent.
void AppendEscapedValue(std::string_view value, std::string* out) {
  for (char c : value) {
    if (c == '%') {
      out->append("%25");
    } else {
      out->push_back(c);
    }
  }
}

enum class LineResult { kLine, kMore, kBad, kTooLong };

// One CRLF-terminated line from `pos`; a bare LF or CR, or a line longer than `max`, is bad.
LineResult NextLine(std::string_view input, size_t pos, size_t max, std::string_view* line, size_t* next) {
  size_t end = input.find('\n', pos);
  size_t scanned = (end == std::string_view::npos ? input.size() : end) - pos;
  std::string_view text = input.substr(pos, scanned);
  size_t cr = text.find('\r');
  if (cr != std::string_view::npos && cr + 1 < text.size()) return LineResult::kBad;  // CR inside a line
  if (end == std::string_view::npos) return scanned > max + 1 ? LineResult::kTooLong : LineResult::kMore;
  if (cr == std::string_view::npos) return LineResult::kBad;  // bare LF
  text.remove_suffix(1);
  if (text.size() > max) return LineResult::kTooLong;
  *line = text;
  *next = end + 1;
  return LineResult::kLine;
}

struct Head {
  std::string_view method, request_line;
  bool http10 = false;
  int content_lengths = 0, transfer_encodings = 0, hosts = 0;
  bool chunked = false, content_encoding = false, close = false, expects_continue = false;
  size_t content_length = 0;
  std::string fields;  // canonical header lines
};

// Reads header field lines from `pos` up to the empty line. Trailers of a chunked body use it too,
// with `head` null: they are checked and dropped.
Framing ReadFields(std::string_view input, size_t pos, const FramingLimits& limits, Head* head, size_t* end,
                   Status* refusal) {
  size_t lines = 0, bytes = 0;
  for (;;) {
    std::string_view line;
    size_t next = 0;
    LineResult result = NextLine(input, pos, limits.header_bytes, &line, &next);
    if (result == LineResult::kMore) {
      if (bytes + (input.size() - pos) > limits.header_bytes + 2) break;
      return Framing::kIncomplete;
    }
    if (result == LineResult::kTooLong) break;
    if (result == LineResult::kBad) {
      *refusal = Status::BadRequest("a header line does not end in CRLF");
      return Framing::kRefused;
    }
    pos = next;
    if (line.empty()) {
      *end = pos;
      return Framing::kComplete;
    }
    bytes += line.size() + 2;
    if (++lines > limits.header_lines || bytes > limits.header_bytes) break;
    if (line.front() == ' ' || line.front() == '\t') {
      *refusal = Status::BadRequest("folded header lines are not accepted");
      return Framing::kRefused;
    }
    size_t colon = line.find(':');
    std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos || !IsToken(name)) {
      *refusal = Status::BadRequest("malformed header name");
      return Framing::kRefused;
    }
    std::string_view value = TrimSpace(line.substr(colon + 1));
    if (!IsFieldValue(value)) {
      *refusal = Status::BadRequest("control characters in a header value");
      return Framing::kRefused;
    }
    if (head == nullptr) continue;
    if (EqualsIgnoringCase(name, "Content-Length")) {
      ++head->content_lengths;
      if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        *refusal = Status::BadRequest("Content-Length is not a decimal number");
        return Framing::kRefused;
      }
      head->content_length = std::stoull(std::string(value));
    } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
      ++head->transfer_encodings;
      head->chunked = EqualsIgnoringCase(value, "chunked");
    } else if (EqualsIgnoringCase(name, "Content-Encoding")) {
      head->content_encoding = true;
    } else if (EqualsIgnoringCase(name, "Connection")) {
      head->close = head->close || HasToken(value, "close");
    } else if (EqualsIgnoringCase(name, "Expect")) {
      head->expects_continue = EqualsIgnoringCase(value, "100-continue");
    } else if (EqualsIgnoringCase(name, "Range") || EqualsIgnoringCase(name, "If-Range") ||
               EqualsIgnoringCase(name, "Keep-Alive") || EqualsIgnoringCase(name, "TE") ||
               EqualsIgnoringCase(name, "Trailer") || EqualsIgnoringCase(name, "Upgrade")) {
      // Hop-by-hop, or (Range) not served: whole bodies only.
    } else {
      if (EqualsIgnoringCase(name, "Host")) ++head->hosts;
      head->fields.append(name);
      head->fields.append(": ");
      AppendEscapedValue(value, &head->fields);
      head->fields.append("\r\n");
    }
  }
  *refusal = Status::BadRequest("more than " + std::to_string(limits.header_lines) + " header lines or " +
                                std::to_string(limits.header_bytes) + " bytes of headers");
  return Framing::kRefused;
}

Framing ReadRequestLine(std::string_view input, size_t pos, const FramingLimits& limits, Head* head, size_t* end,
                        Status* refusal) {
  std::string_view line;
  LineResult result = NextLine(input, pos, limits.request_line, &line, end);
  if (result == LineResult::kMore) return Framing::kIncomplete;
  if (result == LineResult::kTooLong) {
    *refusal = Status::Refused(414, "the request line is longer than " + std::to_string(limits.request_line) + " bytes");
    return Framing::kRefused;
  }
  if (result == LineResult::kBad) {
    *refusal = Status::BadRequest("the request line does not end in CRLF");
    return Framing::kRefused;
  }
  size_t first = line.find(' ');
  size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
    *refusal = Status::BadRequest("malformed request line");
    return Framing::kRefused;
  }
  std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, second - first - 1);
  std::string_view version = line.substr(second + 1);
  if (!IsToken(method) || target.empty() || !IsFieldValue(target) || target.find('\t') != std::string_view::npos ||
      (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    *refusal = Status::BadRequest("malformed request line");
    return Framing::kRefused;
  }
  head->method = method;
  head->request_line = line;
  head->http10 = version == "HTTP/1.0";
  return Framing::kComplete;
}

// Checks the head as a whole: one way to find the body's end, and a body only where one is read.
Status CheckHead(const Head& head, const FramingLimits& limits) {
  if (head.content_lengths > 1) return Status::BadRequest("more than one Content-Length");
  if (head.transfer_encodings > 1) return Status::BadRequest("more than one Transfer-Encoding");
  if (head.transfer_encodings == 1) {
    if (head.content_lengths == 1) return Status::BadRequest("both Transfer-Encoding and Content-Length");
    if (!head.chunked || head.http10) return Status::BadRequest("the only transfer coding accepted is chunked");
  }
  if (!head.http10 && head.hosts != 1) return Status::BadRequest("a request carries exactly one Host header");
  if (head.content_encoding) return Status::Refused(415, "request bodies are not accepted content-encoded");
  const std::string_view m = head.method;
  const bool announces_body = head.chunked || head.content_length > 0;
  if ((m == "GET" || m == "HEAD" || m == "OPTIONS") && announces_body) {
    return Status::BadRequest("a " + std::string(m) + " request carries no body");
  }
  if ((m == "POST" || m == "PUT" || m == "PATCH") && head.content_lengths == 0 && !head.chunked) {
    return Status::BadRequest("a " + std::string(m) + " request needs Content-Length or a chunked body");
  }
  if (head.content_length > limits.body) {
    return Status::Refused(413, "a request body is limited to " + std::to_string(limits.body) + " bytes");
  }
  return Status::Ok();
}

// Decodes a chunked body from `pos`; *end is set past the trailer's empty line.
Framing ReadChunks(std::string_view input, size_t pos, const FramingLimits& limits, std::string* body, size_t* end,
                   Status* refusal) {
  const size_t start = pos;
  for (;;) {
    if (pos - start > 2 * limits.body + 65536) {
      *refusal = Status::Refused(413, "the chunked body's framing is too large");
      return Framing::kRefused;
    }
    std::string_view line;
    size_t next = 0;
    LineResult result = NextLine(input, pos, 256, &line, &next);
    if (result == LineResult::kMore) return Framing::kIncomplete;
    std::string_view size_text = line.substr(0, line.find(';'));
    if (result != LineResult::kLine || size_text.empty() || size_text.size() > 8 ||
        size_text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos || !IsFieldValue(line)) {
      *refusal = Status::BadRequest("malformed chunk size line");
      return Framing::kRefused;
    }
    const size_t size = std::stoul(std::string(size_text), nullptr, 16);
    if (size == 0) return ReadFields(input, next, limits, nullptr, end, refusal);
    if (body->size() + size > limits.body) {
      *refusal = Status::Refused(413, "a request body is limited to " + std::to_string(limits.body) + " bytes");
      return Framing::kRefused;
    }
    if (input.size() < next + size + 2) return Framing::kIncomplete;
    if (input.substr(next + size, 2) != "\r\n") {
      *refusal = Status::BadRequest("a chunk does not end in CRLF");
      return Framing::kRefused;
    }
    body->append(input.substr(next, size));
    pos = next + size + 2;
  }
}

}  // namespace

size_t MaxRequestBytes(const FramingLimits& limits) {
  return limits.request_line + 2 * limits.header_bytes + 4 * limits.header_lines + 2 * limits.body + 65536 + 512;
}

Framing FrameRequest(std::string_view input, const FramingLimits& limits, FramedRequest* request, size_t* consumed,
                     Status* refusal) {
  *request = FramedRequest();
  // One empty line before a request is tolerated: some clients end a body with an extra CRLF.
  size_t pos = input.compare(0, 2, "\r\n") == 0 ? 2 : 0;
  Head head;
  size_t fields_start = 0, body_start = 0;
  Framing framing = ReadRequestLine(input, pos, limits, &head, &fields_start, refusal);
  if (framing != Framing::kComplete) return framing;
  request->method = std::string(head.method);
  framing = ReadFields(input, fields_start, limits, &head, &body_start, refusal);
  if (framing != Framing::kComplete) return framing;
  *refusal = CheckHead(head, limits);
  if (!refusal->ok()) return Framing::kRefused;

  request->close = head.close || head.http10;
  request->head_complete = true;
  std::string body;
  size_t end = 0;
  if (head.chunked) {
    framing = ReadChunks(input, body_start, limits, &body, &end, refusal);
  } else if (input.size() - body_start < head.content_length) {
    framing = Framing::kIncomplete;
  } else {
    body = std::string(input.substr(body_start, head.content_length));
    end = body_start + head.content_length;
  }
  if (framing != Framing::kComplete) {
    request->expects_continue = framing == Framing::kIncomplete && head.expects_continue;
    return framing;
  }

  std::string& out = request->canonical;
  out.reserve(head.request_line.size() + head.fields.size() + body.size() + 64);
  out.append(head.request_line).append("\r\n").append(head.fields);
  const std::string_view m = head.method;
  if (!body.empty() || m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE") {
    out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  }
  if (request->close) out.append("Connection: close\r\n");
  out.append("\r\n").append(body);
  *consumed = end;
  return Framing::kComplete;
}

}  // namespace clustersim
