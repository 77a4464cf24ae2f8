// merge_changes.h: the pairs touched by one merge, found without a general map.
//
// Every pair a merge of (left, right) into new_id touches is (x, new_id),
// (new_id, x), (x, left) or (right, x). While the vocabulary is small,
// MergeChanges finds a pair's PairStep through four arrays indexed by x,
// which stay in cache and cost one load. Past DIRECT_SYMBOLS symbols those
// arrays would miss on most lookups, while late merges touch only a few
// dozen pairs: it then keeps the pairs in a small open-addressed table
// (pair_hash.h, load at most 1/2) sized to the merge, which stays in the
// first-level cache. Either way it keeps its storage between merges and is
// cleared by visiting only the entries used; after a large merge the table
// shrinks back once merges are small again. A pair no such merge can touch
// throws InternalError.
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
    if (direct_) {
      uint32_t& index = direct_index(pair);
      if (index != NO_SYMBOL) return entries_[index];
      index = static_cast<uint32_t>(used_);
      return add(pair);
    }
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

  // Up to this many symbols the pairs are found through arrays indexed by
  // symbol id (16 bytes per symbol), beyond it through the table.
  static constexpr size_t DIRECT_SYMBOLS = size_t{1} << 15;

 private:
  // The direct arrays' entry for `pair`.
  uint32_t& direct_index(Pair pair) {
    // The order of the tests makes the choice a function of the pair alone,
    // so a pair reached through two forms still has one entry.
    int form;
    SymbolId key;
    if (pair.right == new_id_) {
      form = 0, key = pair.left;
    } else if (pair.left == new_id_) {
      form = 1, key = pair.right;
    } else if (pair.right == left_) {
      form = 2, key = pair.left;
    } else if (pair.left == right_) {
      form = 3, key = pair.right;
    } else {
      unexpected_pair();
    }
    if (key >= index_[form].size()) unexpected_pair();
    return index_[form][key];
  }
  [[noreturn]] static void unexpected_pair();
  // Appends the entry of a pair just found absent.
  PairStep& add(Pair pair) {
    if (used_ == entries_.size()) entries_.emplace_back();
    PairStep& step = entries_[used_++];
    step.pair = pair;
    step.count_change = 0;
    return step;
  }

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

  bool direct_ = true;
  std::vector<uint32_t> index_[4];  // per form: x -> entry index, or NO_SYMBOL
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
