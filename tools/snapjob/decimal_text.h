// Decimal numbers read from the command line and from snapshot names: digits only (and one
// leading "-" for signed values), nothing around them, within range. Stateless.
#ifndef SNAPJOB_DECIMAL_TEXT_H_
#define SNAPJOB_DECIMAL_TEXT_H_

#include <cstdint>
#include <string>

namespace snapjob {

bool ParseUnsignedDecimal(const std::string& text, uint64_t max, uint64_t* value);
bool ParseSignedDecimal(const std::string& text, int64_t* value);

}  // namespace snapjob

#endif  // SNAPJOB_DECIMAL_TEXT_H_
