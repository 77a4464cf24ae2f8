// pair_counts.h: the count of every pair in the merge loop.
//
// PairCounts maps Pair -> unsigned 64-bit count, open addressing with linear
// probing (pair_hash.h) at a load of at most 3/4. A pair whose count falls
// to 0 reads as absent, and its slot is given up the next time the table
// fills: every merge consumes its pair and others, and by then a fifth to a
// quarter of the entries of a large training count 0. Dropping them in
// place, rather than doubling, keeps the largest tables from doubling once
// more; each doubling is hundreds of megabytes of fresh memory, which the
// serial merge loop waits for. A slot is 16 bytes, which with the merge
// queue's 32 per candidate bounds the memory of large runs.
#ifndef SELKBAR_TRAINING_PAIR_COUNTS_H_
#define SELKBAR_TRAINING_PAIR_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/prefetch.h"
#include "training/pair_hash.h"
#include "training/word.h"

namespace selkbar {

// Pair -> count. Changes are added modulo 2^64 (a loss is added as its
// two's complement), which is exact because no count ever exceeds the
// largest initial pair count, checked to fit before the loop starts.
class PairCounts {
 public:
  PairCounts() = default;

  // Room for `pairs` entries without growing.
  void reserve(size_t pairs);
  // The count of `pair`, 0 if absent.
  uint64_t get(Pair pair) const {
    if (!slots_) return 0;
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.key == pair) return slot.count;
      if (slot.key.left == NO_SYMBOL) return 0;
    }
  }
  // The count of `pair`, created at 0 if absent. The reference is valid
  // until the next insertion.
  uint64_t& operator[](Pair pair) {
    if ((size_ + 1) * 4 > (mask_ + 1) * 3 || !slots_) grow();
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == pair) return slot.count;
      if (slot.key.left == NO_SYMBOL) {
        slot.key = pair;
        slot.count = 0;
        ++size_;
        return slot.count;
      }
    }
  }
  // Hints the cache that `pair` will be looked up soon: its slot's line and
  // the next, since at three quarters full a probe (and above all one for
  // a pair not yet entered) often runs on past the first.
  void prefetch(Pair pair) const {
    if (!slots_) return;
    const size_t i = bucket(pair);
    prefetch_read(&slots_[i]);
    prefetch_read(&slots_[(i + 4) & mask_]);
  }
  // Entries held: every pair entered whose count is not 0, and some whose
  // count is 0 but that have not been dropped yet.
  size_t size() const { return size_; }
  size_t slot_count() const { return slots_ ? mask_ + 1 : 0; }

 private:
  struct Slot {
    Pair key;
    uint64_t count;
  };
  static_assert(sizeof(Slot) == 16);

  size_t bucket(Pair pair) const { return static_cast<size_t>(pair_hash(pair) >> shift_); }
  // Makes room for one more entry: drops the zero counts in place when
  // that leaves the table at most 5/8 full, else doubles it.
  void grow();
  // Moves the entries with a count into a table of `slot_count` slots.
  void rehash(size_t slot_count);
  void drop_zeros_in_place();

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_PAIR_COUNTS_H_
