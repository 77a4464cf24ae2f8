// pair_steps.h: the changes one step makes to the pair statistics.
//
// PairSteps maps Pair -> PairStep (count change, PositionList), a general
// hashed map (pair_hash.h, load at most 1/2) used for the initial count of
// all words, where any pair may appear. It is drained in insertion order, so
// that what the caller builds from it does not depend on the hash.
#ifndef SELKBAR_TRAINING_PAIR_STEPS_H_
#define SELKBAR_TRAINING_PAIR_STEPS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/prefetch.h"
#include "training/pair_hash.h"
#include "training/position_list.h"
#include "training/word.h"

namespace selkbar {

// One entry of PairSteps.
struct PairStep {
  Pair pair;
  uint64_t count_change;  // modulo 2^64: a loss is a two's complement
  PositionList positions;
};

// Pair -> PairStep for the pairs touched by one step.
class PairSteps {
 public:
  // How full the table may get before it doubles. Half full keeps probes
  // short for the merge loop's many small steps; the initial count of a
  // large corpus (tens of millions of distinct pairs, once words span
  // several pretokens) fills it three quarters, for a table half the size.
  enum class Load { Half, ThreeQuarters };

  explicit PairSteps(Load load = Load::Half) : dense_(load == Load::ThreeQuarters) {}

  // The entry of `pair`, created with no change and no positions if absent.
  // The reference is valid until the next insertion.
  PairStep& operator[](Pair pair) {
    if (full() || !slots_) grow();
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      PairStep& slot = slots_[i];
      if (slot.pair == pair) return slot;
      if (slot.pair.left == NO_SYMBOL) {
        used_.push_back(static_cast<uint32_t>(i));
        slot.pair = pair;
        slot.count_change = 0;
        return slot;
      }
    }
  }
  size_t size() const { return used_.size(); }
  // Hints the cache that the end of `pair`'s word list will be read and
  // written soon. Looks the pair up without entering it: for a table far
  // larger than the cache, after prefetch(pair) has brought its slot in.
  void prefetch_positions(Pair pair) const {
    if (!slots_) return;
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      const PairStep& slot = slots_[i];
      if (slot.pair == pair) {
        if (slot.positions.on_heap()) prefetch_read(slot.positions.end() - 1);
        return;
      }
      if (slot.pair.left == NO_SYMBOL) return;
    }
  }
  // Hints the cache that `pair` will be looked up soon.
  void prefetch(Pair pair) const {
    if (slots_) prefetch_read(&slots_[bucket(pair)]);
  }

  // The entry inserted `index`-th. REQUIRES: index < size().
  const PairStep& entry(size_t index) const { return slots_[used_[index]]; }
  // Calls visit(PairStep&) for every entry in insertion order, then empties
  // the map; the table keeps its allocation. visit may move the positions.
  template <typename Visit>
  void drain(Visit&& visit) {
    for (uint32_t slot : used_) visit(slots_[slot]);
    for (uint32_t slot : used_) {
      slots_[slot].pair.left = NO_SYMBOL;
      slots_[slot].positions = PositionList();
    }
    used_.clear();
  }

  // Calls visit(PairStep&) for every entry in insertion order.
  template <typename Visit>
  void for_each(Visit&& visit) {
    for (uint32_t slot : used_) visit(slots_[slot]);
  }
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (uint32_t slot : used_) visit(slots_[slot]);
  }

 private:
  size_t bucket(Pair pair) const { return static_cast<size_t>(pair_hash(pair) >> shift_); }
  bool full() const {
    const size_t entries = used_.size() + 1;
    return dense_ ? entries * 4 > (mask_ + 1) * 3 : entries * 2 > mask_ + 1;
  }
  void grow();
  void rehash(size_t slot_count);

  std::unique_ptr<PairStep[]> slots_;
  std::vector<uint32_t> used_;  // occupied slots, in insertion order
  size_t mask_ = 0;
  int shift_ = 64;
  bool dense_;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_PAIR_STEPS_H_
