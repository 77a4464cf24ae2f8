#include "training/pair_steps.h"

#include <bit>
#include <new>

namespace selkbar {

void PairSteps::grow() { rehash(slots_ ? (mask_ + 1) * 2 : 16); }

void PairSteps::rehash(size_t slot_count) {
  if (slot_count > (size_t{1} << 32)) throw std::bad_alloc();
  std::unique_ptr<PairStep[]> fresh(new PairStep[slot_count]);
  for (size_t i = 0; i < slot_count; ++i) fresh[i].pair.left = NO_SYMBOL;
  std::vector<uint32_t> fresh_used;
  fresh_used.reserve(dense_ ? slot_count / 4 * 3 : slot_count / 2);
  const size_t fresh_mask = slot_count - 1;
  const int fresh_shift = 64 - std::countr_zero(slot_count);
  for (uint32_t old_slot : used_) {
    PairStep& from = slots_[old_slot];
    size_t i = static_cast<size_t>(pair_hash(from.pair) >> fresh_shift);
    while (fresh[i].pair.left != NO_SYMBOL) i = (i + 1) & fresh_mask;
    fresh[i].pair = from.pair;
    fresh[i].count_change = from.count_change;
    fresh[i].positions = std::move(from.positions);
    fresh_used.push_back(static_cast<uint32_t>(i));
  }
  slots_ = std::move(fresh);
  used_ = std::move(fresh_used);
  mask_ = fresh_mask;
  shift_ = fresh_shift;
}

}  // namespace selkbar
