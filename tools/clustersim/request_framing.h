// Strict HTTP/1.1 request framing, applied before a request reaches httplib. httplib is lenient
// (it accepts bare LF line ends, decodes %XX in header values, reads "xchunked" as chunked and
// takes the last of two Content-Length headers), so a front end that disagreed with it on where a
// request ends could have a body run as a request. Here a request either has exactly one reading
// or is refused, and what httplib then parses is a canonical copy: the body de-chunked and sized
// by one Content-Length, header values escaped so that its decoding gives back the bytes sent.
// Pure functions; thread-safe.
#ifndef CLUSTERSIM_REQUEST_FRAMING_H_
#define CLUSTERSIM_REQUEST_FRAMING_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "clustersim/status.h"

namespace clustersim {

struct FramingLimits {
  size_t request_line = 8192;   // longer: 414
  size_t header_bytes = 8192;   // the header fields together (and a chunked body's trailer)
  size_t header_lines = 100;
  size_t body = 1 << 20;        // decoded size; larger: 413
};

enum class Framing {
  kIncomplete,  // more bytes are needed
  kComplete,    // *request holds the request; *consumed bytes of the input were it
  kRefused,     // *refusal says why; the connection must close after answering it
};

struct FramedRequest {
  std::string method;
  std::string canonical;          // request line, headers and body as httplib is to read them
  bool close = false;             // the client asked to close after this request
  bool head_complete = false;     // also set while the body is still to come
  bool expects_continue = false;  // "Expect: 100-continue" and a body still to come
};

// Frames the request at the start of `input`.
Framing FrameRequest(std::string_view input, const FramingLimits& limits, FramedRequest* request,
                     size_t* consumed, Status* refusal);

// The most bytes one request may occupy on the wire under `limits` (chunk framing included).
size_t MaxRequestBytes(const FramingLimits& limits);

}  // namespace clustersim

#endif  // CLUSTERSIM_REQUEST_FRAMING_H_
