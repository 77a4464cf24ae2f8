// code_point_cache.h: remembers the last few stretches of code points that
// share one answer, in front of a lookup that binary-searches range tables.
//
// Text keeps hitting the same few stretches (the Cyrillic letters, kana, the
// CJK ideographs, a punctuation block), so with a cache most non-ASCII
// characters cost a few comparisons instead of a search. The pretokenizers
// keep one per scan, answering their own character classes through it.
//
// Find(cp, &stretch) returns the answer for cp and sets `stretch` to
// consecutive code points around cp that all have that answer; a stretch
// with first > last means "do not remember" (used for the White_Space code
// points, which sit alone among other characters). The cache is filled
// round-robin. Not thread-safe: one per scanning thread.
#ifndef SELKBAR_UNICODE_CODE_POINT_CACHE_H_
#define SELKBAR_UNICODE_CODE_POINT_CACHE_H_

#include <cstddef>
#include <cstdint>

#include "unicode/unicode_tables.h"

namespace selkbar {

template <typename Value, Value (*Find)(uint32_t cp, CodePointRange* stretch)>
class CodePointCache {
 public:
  // REQUIRES: cp >= 0x80 (an empty slot holds U+0000; callers answer ASCII
  // from a table first).
  Value get(uint32_t cp) {
    for (size_t i = 0; i < SLOTS; ++i) {
      if (cp - first_[i] <= span_[i]) return value_[i];
    }
    return find_and_remember(cp);
  }

 private:
  // Cold: a miss happens about once per new stretch, and keeping it out of
  // line leaves the scanners' registers to the hits.
  [[gnu::cold]] [[gnu::noinline]] Value find_and_remember(uint32_t cp) {
    CodePointRange stretch;
    const Value value = Find(cp, &stretch);
    if (stretch.first <= stretch.last) {
      first_[next_slot_] = stretch.first;
      span_[next_slot_] = stretch.last - stretch.first;
      value_[next_slot_] = value;
      next_slot_ = (next_slot_ + 1) % SLOTS;
    }
    return value;
  }

  static constexpr size_t SLOTS = 4;
  // Slot i holds first_[i] .. first_[i] + span_[i], so that one unsigned
  // comparison tests membership.
  uint32_t first_[SLOTS] = {};
  uint32_t span_[SLOTS] = {};
  Value value_[SLOTS] = {};
  size_t next_slot_ = 0;
};

}  // namespace selkbar

#endif  // SELKBAR_UNICODE_CODE_POINT_CACHE_H_
