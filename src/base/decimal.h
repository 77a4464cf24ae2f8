// decimal.h: the one parser of unsigned decimal numbers read from the
// environment (SELKBAR_MIN_RANGE, the "ps" output of the diagnostics).
//
// Accepted: an optional '+', then one or more ASCII digits, with a value that
// fits in 64 bits. Nothing else: no sign '-', no spaces, no leading "0x".
#ifndef SELKBAR_BASE_DECIMAL_H_
#define SELKBAR_BASE_DECIMAL_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace selkbar {

// Returns the value, or nothing if `text` is not such a number.
std::optional<uint64_t> parse_u64_decimal(std::string_view text);

}  // namespace selkbar

#endif  // SELKBAR_BASE_DECIMAL_H_
