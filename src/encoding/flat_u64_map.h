// flat_u64_map.h: an open-addressing map from u64 keys to u64 values, built
// once and then only read.
//
// The encoder looks a pair of symbols up once per pair it ever sees, so this
// lookup is its inner loop: one multiply (FxHash of the key, bucket from the
// high bits of the product, which are the well-mixed ones), then a linear
// probe over 16-byte slots that stay in one or two cache lines. The table is
// at most half full, so a miss ends within a few slots.
//
// The key ~0 is reserved to mark empty slots; insert refuses it. Lookups on
// a built map are read-only and may run on any number of threads at once.
#ifndef SELKBAR_FLAT_U64_MAP_H_
#define SELKBAR_FLAT_U64_MAP_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "base/fxhash.h"
#include "base/prefetch.h"

namespace selkbar {

class FlatU64Map {
 public:
  static constexpr uint64_t EMPTY_KEY = ~uint64_t{0};

  FlatU64Map() { rehash(16); }

  // Sets key -> value, replacing an earlier value of the same key.
  // REQUIRES: key != EMPTY_KEY (throws InternalError otherwise).
  void insert(uint64_t key, uint64_t value) {
    if (key == EMPTY_KEY) throw InternalError("FlatU64Map: the empty key cannot be stored");
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.size() * 2);
    Slot& slot = slots_[probe(key)];
    if (slot.key == EMPTY_KEY) {
      slot.key = key;
      ++size_;
    }
    slot.value = value;
  }

  // The value of `key`, or `missing` when absent.
  uint64_t get(uint64_t key, uint64_t missing) const {
    const Slot& slot = slots_[probe(key)];
    return slot.key == key ? slot.value : missing;
  }

  // Starts loading the slot where a lookup of `key` begins.
  void prefetch(uint64_t key) const { prefetch_read(&slots_[fx_add(0, key) >> shift_]); }

  size_t size() const { return size_; }

 private:
  struct Slot {
    uint64_t key;
    uint64_t value;
  };

  // The slot holding `key`, or the empty slot where it would go.
  size_t probe(uint64_t key) const {
    size_t i = static_cast<size_t>(fx_add(0, key) >> shift_);
    while (slots_[i].key != key && slots_[i].key != EMPTY_KEY) i = (i + 1) & mask_;
    return i;
  }

  void rehash(size_t slot_count) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(slot_count, Slot{EMPTY_KEY, 0});
    mask_ = slot_count - 1;
    shift_ = 64 - std::countr_zero(slot_count);
    for (const Slot& slot : old) {
      if (slot.key != EMPTY_KEY) slots_[probe(slot.key)] = slot;
    }
  }

  std::vector<Slot> slots_;  // a power of two of them, at most half used
  size_t size_ = 0;
  size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace selkbar

#endif  // SELKBAR_FLAT_U64_MAP_H_
