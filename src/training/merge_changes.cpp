#include "training/merge_changes.h"

#include <algorithm>
#include <bit>
#include <string>

#include "base/error.h"

namespace selkbar {

namespace {

// The table never gets smaller than this many slots, which is a few
// kilobytes and more than most late merges need.
constexpr size_t MIN_SLOTS = 256;

// The slot count for `entries` entries at a load of at most 1/4, which
// leaves room to double before the next growth.
size_t slots_for(size_t entries) {
  return std::max(MIN_SLOTS, std::bit_ceil(entries * 4));
}

}  // namespace

MergeChanges::MergeChanges() = default;

void MergeChanges::unexpected_pair() {
  throw InternalError("pair change outside the merged pair's neighbourhood");
}

void MergeChanges::begin(SymbolId left, SymbolId right, SymbolId new_id, size_t symbol_count) {
  for (SymbolId id : {left, right, new_id}) {
    if (id >= symbol_count) {
      throw InternalError("merge names symbol " + std::to_string(id) + " outside " +
                          std::to_string(symbol_count) + " symbols");
    }
  }
  left_ = left;
  right_ = right;
  new_id_ = new_id;
  if (direct_ && symbol_count <= DIRECT_SYMBOLS) {
    for (auto& index : index_) {
      if (index.size() < symbol_count) {
        index.resize(std::max(symbol_count, index.size() * 2), NO_SYMBOL);
      }
    }
    return;
  }
  if (direct_) {
    direct_ = false;
    for (auto& index : index_) std::vector<uint32_t>().swap(index);
  }
  if (slots_.empty()) resize(MIN_SLOTS);
}

PairStep& MergeChanges::insert(Pair pair, size_t slot) {
  if (!touchable(pair)) unexpected_pair();
  if ((used_ + 1) * 2 > slots_.size()) {
    resize(slots_.size() * 2);
    slot = bucket(pair);
    while (slots_[slot].entry != NO_SYMBOL) slot = (slot + 1) & mask_;
  }
  slots_[slot] = {pair, static_cast<uint32_t>(used_)};
  used_slots_.push_back(static_cast<uint32_t>(slot));
  return add(pair);
}

void MergeChanges::resize(size_t slot_count) {
  // A fresh vector, not assign(): a shrinking table gives its memory back.
  std::vector<Slot>(slot_count, Slot{{NO_SYMBOL, NO_SYMBOL}, NO_SYMBOL}).swap(slots_);
  mask_ = slot_count - 1;
  shift_ = 64 - std::countr_zero(slot_count);
  for (size_t i = 0; i < used_; ++i) {
    size_t slot = bucket(entries_[i].pair);
    while (slots_[slot].entry != NO_SYMBOL) slot = (slot + 1) & mask_;
    slots_[slot] = {entries_[i].pair, static_cast<uint32_t>(i)};
    used_slots_[i] = static_cast<uint32_t>(slot);
  }
}

void MergeChanges::clear() {
  for (size_t i = 0; i < used_; ++i) entries_[i].positions = PositionList();
  if (direct_) {
    for (size_t i = 0; i < used_; ++i) direct_index(entries_[i].pair) = NO_SYMBOL;
    used_ = 0;
    return;
  }
  // A table left large by an early merge would spread a late merge's few
  // pairs over many cache lines: shrink it once merges are far smaller.
  const size_t fitting = slots_for(used_);
  used_ = 0;
  if (fitting * 4 <= slots_.size()) {
    used_slots_.clear();
    resize(fitting);
    return;
  }
  for (uint32_t slot : used_slots_) slots_[slot].entry = NO_SYMBOL;
  used_slots_.clear();
}

}  // namespace selkbar
