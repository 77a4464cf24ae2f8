#include "training/pair_counts.h"

#include <bit>

namespace selkbar {

namespace {

// Smallest power-of-two slot count (at least 16) holding `entries` at the
// given maximum load of numerator/denominator.
size_t slots_for(size_t entries, size_t numerator, size_t denominator) {
  size_t slots = 16;
  while (entries * denominator > slots * numerator) slots *= 2;
  return slots;
}

}  // namespace

void PairCounts::reserve(size_t pairs) {
  const size_t slots = slots_for(pairs, 3, 4);
  if (slots > mask_ + 1 || !slots_) rehash(slots);
}

void PairCounts::grow() { rehash(slots_ ? (mask_ + 1) * 2 : 16); }

void PairCounts::rehash(size_t slot_count) {
  std::unique_ptr<Slot[]> old = std::move(slots_);
  const size_t old_count = old ? mask_ + 1 : 0;
  slots_.reset(new Slot[slot_count]);
  for (size_t i = 0; i < slot_count; ++i) slots_[i].key.left = NO_SYMBOL;
  mask_ = slot_count - 1;
  shift_ = 64 - std::countr_zero(slot_count);
  for (size_t j = 0; j < old_count; ++j) {
    const Slot& from = old[j];
    if (from.key.left == NO_SYMBOL) continue;
    size_t i = bucket(from.key);
    while (slots_[i].key.left != NO_SYMBOL) i = (i + 1) & mask_;
    slots_[i] = from;
  }
}

}  // namespace selkbar
