// merge_changes.h: the pairs touched by one merge, in a table sized to them.
//
// Every pair a merge of (left, right) into new_id touches is (x, new_id),
// (new_id, x), (x, left) or (right, x). MergeChanges finds a pair's PairStep
// in a small open-addressed table (pair_hash.h, load at most 1/2) that holds
// only this merge's pairs: late merges touch a few dozen pairs, and a table
// of their size stays in the first-level cache where arrays indexed by
// symbol id (as large as the vocabulary) would miss on most lookups. The
// table keeps its allocation between merges and is cleared by visiting
// only the slots used; after a large merge it shrinks back once merges are
// small again. A pair no such merge can touch throws InternalError.
#ifndef SELKBAR_TRAINING_MERGE_CHANGES_H_
#define SELKBAR_TRAINING_MERGE_CHANGES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "training/pair_hash.h"
#include "training/pair_steps.h"
#include "training/word.h"

namespace selkbar {

// Pair -> PairStep for the pairs touched by one merge of (left, right) into
// new_id.
class MergeChanges {
 public:
  MergeChanges();

  // Starts a merge. REQUIRES: the map is empty; every id is below
  // symbol_count.
  void begin(SymbolId left, SymbolId right, SymbolId new_id, size_t symbol_count);

  // The entry of `pair`, created with no change and no positions if absent.
  // Throws InternalError for a pair this merge cannot touch. The reference
  // is valid until the next insertion.
  PairStep& operator[](Pair pair) {
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.entry == NO_SYMBOL) return insert(pair, i);
      if (slot.key == pair) return entries_[slot.entry];
    }
  }

  // Entries in insertion order; the caller may move their positions out.
  size_t size() const { return used_; }
  PairStep& entry(size_t i) { return entries_[i]; }

  // Empties the map, freeing positions left in entries; keeps the arrays.
  void clear();

 private:
  struct Slot {
    Pair key;
    uint32_t entry;  // index into entries_, or NO_SYMBOL when the slot is free
  };

  size_t bucket(Pair pair) const { return static_cast<size_t>(pair_hash(pair) >> shift_); }
  // Enters `pair` at the free slot `slot` found for it, growing the table
  // first when it would pass half full.
  PairStep& insert(Pair pair, size_t slot);
  // Whether a merge of (left_, right_) into new_id_ can touch `pair`.
  bool touchable(Pair pair) const {
    return pair.right == new_id_ || pair.left == new_id_ || pair.right == left_ ||
           pair.left == right_;
  }
  void resize(size_t slot_count);

  std::vector<Slot> slots_;
  std::vector<uint32_t> used_slots_;  // the slot of each entry, in entry order
  std::vector<PairStep> entries_;     // the first used_ are live
  size_t used_ = 0;
  size_t mask_ = 0;
  int shift_ = 64;
  SymbolId left_ = NO_SYMBOL, right_ = NO_SYMBOL, new_id_ = NO_SYMBOL;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_MERGE_CHANGES_H_
