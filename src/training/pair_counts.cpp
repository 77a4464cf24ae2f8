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

void PairCounts::grow() {
  if (!slots_) {
    rehash(16);
    return;
  }
  const size_t slots = mask_ + 1;
  size_t zeros = 0;
  for (size_t i = 0; i < slots; ++i) {
    zeros += slots_[i].key.left != NO_SYMBOL && slots_[i].count == 0;
  }
  // Dropping in place leaves at least an eighth of the slots to fill before
  // the next check, so the checks cost a bounded number of passes per entry,
  // and the passes run in order through memory the table already has. With
  // less room than that, the zeros would soon be used up and the table
  // double anyway (on 1 GB of Chinese and Japanese, dropping 482k zeros of
  // 3.15M entries left 11% free, and it doubled 482k entries later).
  if ((size_ - zeros) * 8 <= slots * 5) {
    drop_zeros_in_place();
  } else {
    rehash(slots * 2);
  }
}

void PairCounts::rehash(size_t slot_count) {
  std::unique_ptr<Slot[]> old = std::move(slots_);
  const size_t old_count = old ? mask_ + 1 : 0;
  slots_.reset(new Slot[slot_count]);
  for (size_t i = 0; i < slot_count; ++i) slots_[i].key.left = NO_SYMBOL;
  mask_ = slot_count - 1;
  shift_ = 64 - std::countr_zero(slot_count);
  size_ = 0;
  for (size_t j = 0; j < old_count; ++j) {
    const Slot& from = old[j];
    if (from.key.left == NO_SYMBOL || from.count == 0) continue;
    size_t i = bucket(from.key);
    while (slots_[i].key.left != NO_SYMBOL) i = (i + 1) & mask_;
    slots_[i] = from;
    ++size_;
  }
}

void PairCounts::drop_zeros_in_place() {
  // Emptying a slot can cut the probe run of an entry stored after it, so
  // every entry is taken out and seated again (or, with a count of 0, left
  // out), in probe order from a slot that was empty before (one exists: the
  // table is never full). An entry's run from its bucket to its slot was all
  // occupied and does not contain that start, so the entries before it in
  // the run are dealt with before it, and it lands at or before its old slot
  // without moving any of them.
  size_t start = 0;
  while (slots_[start].key.left != NO_SYMBOL) ++start;
  for (size_t k = 1; k <= mask_; ++k) {
    const size_t j = (start + k) & mask_;
    if (slots_[j].key.left == NO_SYMBOL) continue;
    const Slot entry = slots_[j];
    slots_[j].key.left = NO_SYMBOL;
    if (entry.count == 0) {
      --size_;
      continue;
    }
    size_t i = bucket(entry.key);
    while (slots_[i].key.left != NO_SYMBOL) i = (i + 1) & mask_;
    slots_[i] = entry;
  }
}

}  // namespace selkbar
