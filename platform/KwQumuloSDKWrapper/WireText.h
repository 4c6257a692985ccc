#ifndef KWQUMULOSDKWRAPPER_WIRETEXT_H
#define KWQUMULOSDKWRAPPER_WIRETEXT_H

#include <cstdint>
#include <string>
#include <string_view>

// Text conversions between our values and what travels on the wire. Stateless; thread-safe.
namespace Qumulo {

// Percent-encodes a query parameter value; unreserved characters and "/" stay as they are.
std::string PercentEncode(std::string_view value);

// Appends value as a quoted JSON string, escaping quotes, backslashes and control characters.
void AppendJsonString(std::string& out, std::string_view value);

// Parses a decimal id ("9007199254740993") exactly. False for an empty text, anything but digits,
// or a value above 2^64-1.
bool ParseDecimalId(std::string_view text, uint64_t& value);

// Reads the "next" token of a difference page without parsing the page: the last "next" key of
// the body with a plain string value. False when there is none or it holds escapes; the full parse
// stays the authority.
bool PeekNextPageToken(std::string_view body, std::string& token);

}  // namespace Qumulo

#endif
