// JSON string literals for the text the driver writes: change items and the demo's registry.
// Stateless; safe from any thread.
#ifndef SNAPJOB_JSON_TEXT_H_
#define SNAPJOB_JSON_TEXT_H_

#include <string>

namespace snapjob {

// Appends `text` to `out` as a quoted JSON string. Paths are bytes, not necessarily UTF-8: valid
// UTF-8 passes through, and each byte that is not part of a valid sequence is written as the
// escape \udcXX (XX the byte), the lone-surrogate convention that decoders such as Python's
// "surrogateescape" turn back into the original byte. Control characters are escaped.
void AppendJsonString(std::string& out, const std::string& text);

std::string JsonString(const std::string& text);

}  // namespace snapjob

#endif  // SNAPJOB_JSON_TEXT_H_
