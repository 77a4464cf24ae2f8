#include "training/merge_changes.h"

#include <algorithm>

#include "base/error.h"

namespace selkbar {

void MergeChanges::begin(SymbolId left, SymbolId right, SymbolId new_id, size_t symbol_count) {
  left_ = left;
  right_ = right;
  new_id_ = new_id;
  for (auto& index : index_) {
    if (index.size() < symbol_count) {
      index.resize(std::max(symbol_count, index.size() * 2), NO_SYMBOL);
    }
  }
}

void MergeChanges::clear() {
  for (size_t i = 0; i < used_; ++i) {
    PairStep& step = entries_[i];
    index_of(step.pair) = NO_SYMBOL;
    step.positions = PositionList();
  }
  used_ = 0;
}

uint32_t& MergeChanges::unexpected_pair() {
  throw InternalError("pair change outside the merged pair's neighbourhood");
}

}  // namespace selkbar
