// JSON string literals for the text the driver writes: change items and the demo's registry.
// Stateless; safe from any thread.
#ifndef SNAPJOB_JSON_TEXT_H_
#define SNAPJOB_JSON_TEXT_H_

#include <string>

namespace snapjob {

// Appends `text` to `out` as a quoted JSON string that every strict parser accepts. Paths are
// bytes, not necessarily UTF-8: valid UTF-8 passes through, each byte that is not part of a valid
// sequence becomes U+FFFD, and the result is false so that the caller can add the exact bytes
// (HexBytes) beside it. Control characters are escaped.
bool AppendJsonString(std::string& out, const std::string& text);

// The bytes of `text` as lowercase hex, two digits a byte.
std::string HexBytes(const std::string& text);

}  // namespace snapjob

#endif  // SNAPJOB_JSON_TEXT_H_
