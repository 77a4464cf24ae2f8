// same_bytes.h: equality of two short byte strings, for the hot lookups of
// phase 1 (the workers' partition tables and their small tables).
#ifndef SELKBAR_SAME_BYTES_H_
#define SELKBAR_SAME_BYTES_H_

#include <cstddef>
#include <cstdint>

#include "base/unaligned.h"

namespace selkbar {


// Equality of two byte strings of length n. Most words are a few bytes long,
// where a call to memcmp costs more than the comparison itself; the loads
// overlap instead of stepping byte by byte and never leave [p, p + n).
[[gnu::always_inline]] inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      if (load64(a + i) != load64(b + i)) return false;
    }
    return i == n || load64(a + n - 8) == load64(b + n - 8);
  }
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  if (n == 0) return true;
  return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

}  // namespace selkbar

#endif  // SELKBAR_SAME_BYTES_H_
