// merge_changes.h: the pairs touched by one merge, found without hashing.
//
// Every pair a merge of (left, right) into new_id touches is (x, new_id),
// (new_id, x), (x, left) or (right, x), so four arrays indexed by x find its
// PairStep. MergeChanges keeps its arrays between merges and is cleared by
// visiting only the entries used; it throws InternalError for a pair no
// such merge can touch.
#ifndef SELKBAR_TRAINING_MERGE_CHANGES_H_
#define SELKBAR_TRAINING_MERGE_CHANGES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "training/pair_steps.h"
#include "training/word.h"

namespace selkbar {

// Pair -> PairStep for the pairs touched by one merge of (left, right) into
// new_id, found by direct indexing instead of hashing.
class MergeChanges {
 public:
  // Starts a merge. REQUIRES: the map is empty; every id is below
  // symbol_count.
  void begin(SymbolId left, SymbolId right, SymbolId new_id, size_t symbol_count);

  // The entry of `pair`, created with no change and no positions if absent.
  // Throws InternalError for a pair this merge cannot touch. The reference
  // is valid until the next insertion.
  PairStep& operator[](Pair pair) {
    uint32_t& index = index_of(pair);
    if (index != NO_SYMBOL) return entries_[index];
    if (used_ == entries_.size()) entries_.emplace_back();
    index = static_cast<uint32_t>(used_);
    PairStep& step = entries_[used_++];
    step.pair = pair;
    step.count_change = 0;
    return step;
  }

  // Entries in insertion order; the caller may move their positions out.
  size_t size() const { return used_; }
  PairStep& entry(size_t i) { return entries_[i]; }

  // Empties the map, freeing positions left in entries; keeps the arrays.
  void clear();

 private:
  uint32_t& index_of(Pair pair) {
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
      return unexpected_pair();
    }
    if (key >= index_[form].size()) return unexpected_pair();
    return index_[form][key];
  }
  [[noreturn]] uint32_t& unexpected_pair();

  std::vector<uint32_t> index_[4];  // per form: x -> entry index, or NO_SYMBOL
  std::vector<PairStep> entries_;   // the first used_ are live
  size_t used_ = 0;
  SymbolId left_ = NO_SYMBOL, right_ = NO_SYMBOL, new_id_ = NO_SYMBOL;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_MERGE_CHANGES_H_
