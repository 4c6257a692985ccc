#ifndef KWQUMULOSDKWRAPPER_WIRETEXT_H
#define KWQUMULOSDKWRAPPER_WIRETEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Text conversions between our values and what travels on the wire. Stateless; thread-safe.
//
// Names are bytes and need not be UTF-8, while JSON carries only UTF-8. Each byte that is not part
// of a valid UTF-8 sequence travels as the lone escape \udc80..\udcff (never a real character);
// the other bytes travel as they are. Encoding is greedy from the left, so every byte string has
// exactly one form on the wire and decoding refuses any other form.
namespace Qumulo {

// Length of the valid UTF-8 sequence at text[i], or 0 when the byte there starts none.
size_t Utf8SequenceLength(std::string_view text, size_t i);

// Percent-encodes one URI component: everything but the unreserved characters, "/" included, so
// that a whole path travels as one component. Bytes are encoded as they are, UTF-8 or not.
std::string PercentEncode(std::string_view value);

// Appends value as a quoted JSON string, escaping quotes, backslashes and control characters, and
// each byte that is not valid UTF-8 as \udcXX.
void AppendJsonString(std::string& out, std::string_view value);

// Decodes the text between the quotes of a JSON string, as the cluster sent it, into its exact
// bytes. False for a bad escape, a surrogate that is neither half of a pair nor \udc80..\udcff,
// or a byte escape where the wire form would have been the byte itself. With `rawMarks` (a body
// rewritten by MarkRawBytes) a \xHH mark is the raw byte HH; a string holding one may not also
// hold \udcXX escapes, so that each name keeps one form.
bool DecodeJsonString(std::string_view escaped, std::string& out, bool rawMarks = false);

// How a cluster carries names that are not UTF-8 is not documented: besides the \udcXX escapes it
// may put the raw bytes inside the JSON string. For a body that is not valid UTF-8, writes to `out`
// the same body with each such byte inside a string replaced by the mark \xHH, which no JSON text
// holds, so that the body parses as JSON and DecodeJsonString(rawMarks) gives the bytes back.
// False when such a byte lies outside a string or the body already holds a \x escape.
bool MarkRawBytes(std::string_view body, std::string& out);

// Parses a decimal id ("9007199254740993") exactly. False for an empty text, anything but digits,
// or a value above 2^64-1.
bool ParseDecimalId(std::string_view text, uint64_t& value);

// Parses an RFC 3339 time ("2024-02-04T19:29:48.136708478Z", or with a "+01:00" offset) into whole
// seconds since the epoch, negative before 1970. False for anything else, an impossible date
// (February 30) included.
bool ParseRfc3339(std::string_view text, int64_t& seconds);

// True for a page token that may be requested as it stands: a relative URI of printable ASCII that
// starts with a single "/". Anything else could send the request, and its token, to another host.
bool IsRelativeUri(std::string_view text);

// Reads the "next" link of a difference page without decoding the page: "paging"."next" of the top
// object, when it is a plain string. False when there is none, it holds escapes or the body is not
// a whole object; the full parse stays the authority.
bool PeekNextPageToken(std::string_view body, std::string& token);

}  // namespace Qumulo

#endif
