// code_point_cache.h: remembers the last few stretches of code points that
// share one answer, in front of a lookup that binary-searches range tables;
// and CodePointLookup, which answers the Basic Multilingual Plane from a
// table built once and only the planes above through such a cache.
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

// The answers for U+0080..U+FFFF by code point, filled once per process on
// first use (64 KiB for a one-byte answer; the ASCII entries are unused).
// Static storage rather than the heap: the first use is on a counting
// thread, whose malloc arena would otherwise keep it, and what lies below
// it, for the life of the process.
template <typename Value, Value (*Find)(uint32_t cp, CodePointRange* stretch)>
const Value* bmp_answers() {
  static Value table[0x10000];
  [[maybe_unused]] static const bool filled = [] {
    CodePointRange stretch;
    for (uint32_t cp = 0x80; cp < 0x10000; ++cp) table[cp] = Find(cp, &stretch);
    return true;
  }();
  return table;
}

// Answers the Basic Multilingual Plane from bmp_answers and the planes above
// through a CodePointCache. Chinese and Japanese text moves between a
// handful of blocks (ideographs, kana, punctuation) every few characters;
// a stretch cache keeps missing there, and a direct load is cheaper than
// its comparisons even when it hits. One per scan; not thread-safe.
template <typename Value, Value (*Find)(uint32_t cp, CodePointRange* stretch)>
class CodePointLookup {
 public:
  // REQUIRES: cp >= 0x80.
  Value get(uint32_t cp) {
    if (cp < 0x10000) return bmp_[cp];
    return cache_.get(cp);
  }

 private:
  const Value* bmp_ = bmp_answers<Value, Find>();
  CodePointCache<Value, Find> cache_;
};

}  // namespace selkbar

#endif  // SELKBAR_UNICODE_CODE_POINT_CACHE_H_
