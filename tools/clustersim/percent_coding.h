// %XX escapes, as URL components and the file-id log carry bytes in text.
// Stateless; thread-safe.
#ifndef CLUSTERSIM_PERCENT_CODING_H_
#define CLUSTERSIM_PERCENT_CODING_H_

#include <string>

namespace clustersim {

// Turns each %XX into its byte ("+" stays "+"). False for a "%" not followed by two hex digits.
bool PercentDecode(const std::string& text, std::string* out);

// Escapes every byte but ASCII letters, digits and "-._~", so that the result is one URL component
// and one query value.
std::string PercentEncode(const std::string& bytes);

}  // namespace clustersim

#endif  // CLUSTERSIM_PERCENT_CODING_H_
