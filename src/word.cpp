#include "word.h"

#include <string>

#include "error.h"

namespace selkbar {

namespace {

// The rewrite of one word. Reads (i) stay ahead of writes (k), so the pass
// works in place: s[k - 1] is already rewritten, s[i] is still original.
// kLengths selects whether symbol lengths are carried along; without them no
// limit applies.
template <bool kLengths>
uint32_t merge_symbols(SymbolId* s, uint32_t* l, uint32_t n, SymbolId left, SymbolId right,
                       SymbolId new_id, bool has_limit, uint64_t limit,
                       std::vector<PairDelta>& deltas, const DeltaDrain* drain) {
  // Skip the untouched prefix without rewriting it.
  uint32_t i = 0;
  while (i + 1 < n && !(s[i] == left && s[i + 1] == right)) ++i;
  if (i + 1 >= n) return n;
  uint32_t k = i;
  while (i < n) {
    if (i + 1 < n && s[i] == left && s[i + 1] == right) {
      uint64_t m = 0;
      if constexpr (kLengths) m = uint64_t{l[i]} + l[i + 1];
      if (k > 0) {
        const SymbolId prev = s[k - 1];
        deltas.push_back({{prev, left}, -1});
        bool keep = true;
        if constexpr (kLengths) keep = !has_limit || l[k - 1] + m < limit;
        if (keep) deltas.push_back({{prev, new_id}, +1});
      }
      i += 2;
      if (i < n) {
        const SymbolId next = s[i];
        deltas.push_back({{right, next}, -1});
        bool keep = true;
        if constexpr (kLengths) keep = !has_limit || l[i] + m < limit;
        if (keep) deltas.push_back({{new_id, next}, +1});
      }
      s[k] = new_id;
      // A word never covers more than 0xFFFFFFFF characters (its bytes fit a
      // u32 offset), so the sum of two of its symbols fits too.
      if constexpr (kLengths) l[k] = static_cast<uint32_t>(m);
      ++k;
      if (drain != nullptr && deltas.size() >= MAX_PENDING_DELTAS) (*drain)(deltas);
    } else {
      s[k] = s[i];
      if constexpr (kLengths) l[k] = l[i];
      ++k;
      ++i;
    }
  }
  return k;
}

}  // namespace

void check_arena_room(uint64_t symbol_count) {
  if (symbol_count >= MAX_ARENA_SYMBOLS) throw InternalError("symbol arena exceeds 4G symbols");
}

SymbolArena::SymbolArena(size_t symbol_capacity, size_t word_capacity, bool track_lengths)
    : track_lengths_(track_lengths) {
  symbols_.reserve(symbol_capacity);
  if (track_lengths_) symbol_lengths_.reserve(symbol_capacity);
  starts_.reserve(word_capacity);
  lengths_.reserve(word_capacity);
  counts_.reserve(word_capacity);
}

void SymbolArena::push_word(uint64_t count, std::span<const SymbolId> word_symbols) {
  const uint64_t start = symbols_.size();
  check_arena_room(start);
  if (word_symbols.size() > 0xFFFFFFFFULL) throw InternalError("symbol arena exceeds 4G symbols");
  counts_.push_back(count);
  symbols_.insert(symbols_.end(), word_symbols.begin(), word_symbols.end());
  if (track_lengths_) symbol_lengths_.resize(symbols_.size(), 1);
  starts_.push_back(static_cast<uint32_t>(start));
  lengths_.push_back(static_cast<uint32_t>(word_symbols.size()));
}

void SymbolArena::check_word(uint32_t w) const {
  if (w >= counts_.size()) {
    throw InternalError("word index " + std::to_string(w) + " out of range for an arena of " +
                        std::to_string(counts_.size()) + " words");
  }
}

std::span<const SymbolId> SymbolArena::word(uint32_t w) const {
  check_word(w);
  return {symbols_.data() + starts_[w], lengths_[w]};
}

std::span<const uint32_t> SymbolArena::symbol_lengths(uint32_t w) const {
  check_word(w);
  if (!track_lengths_) throw InternalError("symbol arena keeps no symbol lengths");
  return {symbol_lengths_.data() + starts_[w], lengths_[w]};
}

uint64_t SymbolArena::total_symbols() const {
  uint64_t total = 0;
  for (uint32_t length : lengths_) total += length;
  return total;
}

void SymbolArena::merge_word(uint32_t w, SymbolId left, SymbolId right, SymbolId new_id,
                             std::optional<uint64_t> limit, std::vector<PairDelta>& deltas,
                             const DeltaDrain* drain) {
  check_word(w);
  // The last word may start just below 2^32 and run past it, so positions
  // are size_t here, not u32.
  const size_t start = starts_[w];
  const uint32_t n = lengths_[w];
  SymbolId* s = symbols_.data() + start;
  if (track_lengths_) {
    lengths_[w] = merge_symbols<true>(s, symbol_lengths_.data() + start, n, left, right, new_id,
                                      limit.has_value(), limit.value_or(0), deltas, drain);
  } else {
    if (limit.has_value()) throw InternalError("max_token_length needs an arena with symbol lengths");
    lengths_[w] = merge_symbols<false>(s, nullptr, n, left, right, new_id, false, 0, deltas, drain);
  }
}

}  // namespace selkbar
