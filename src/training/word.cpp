#include "training/word.h"

#include <algorithm>
#include <string>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/error.h"
#include "base/huge_pages.h"

namespace selkbar {

namespace {

// The first position i >= from with s[i] = left and s[i + 1] = right, or n
// if there is none. Words run to dozens of symbols and most merges visit
// words that hold the pair once, so the search is the bulk of a merge; with
// SSE2 it tests four positions per step.
inline uint32_t find_pair(const SymbolId* s, uint32_t from, uint32_t n, SymbolId left,
                          SymbolId right) {
  uint32_t i = from;
#ifdef __SSE2__
  const __m128i lefts = _mm_set1_epi32(static_cast<int>(left));
  const __m128i rights = _mm_set1_epi32(static_cast<int>(right));
  // Each step reads s[i .. i + 4]; stop while that is inside the word.
  for (; uint64_t{i} + 5 <= n; i += 4) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 1));
    const __m128i both = _mm_and_si128(_mm_cmpeq_epi32(here, lefts), _mm_cmpeq_epi32(next, rights));
    const int mask = _mm_movemask_ps(_mm_castsi128_ps(both));
    if (mask != 0) return i + static_cast<uint32_t>(__builtin_ctz(mask));
  }
#endif
  for (; uint64_t{i} + 1 < n; ++i) {
    if (s[i] == left && s[i + 1] == right) return i;
  }
  return n;
}

// The rewrite of one word. The read position i stays ahead of the write
// position k, so the pass works in place: s[k - 1] is already rewritten,
// s[i] and beyond are still original. Runs between occurrences are moved
// down in one piece. kLengths selects whether symbol lengths are carried
// along; without them no limit applies.
template <bool kLengths>
uint32_t merge_symbols(SymbolId* s, uint32_t* l, uint32_t n, SymbolId left, SymbolId right,
                       SymbolId new_id, bool has_limit, uint64_t limit,
                       std::vector<PairDelta>& deltas, const DeltaDrain* drain) {
  uint32_t i = find_pair(s, 0, n, left, right);
  if (i >= n) return n;
  uint32_t k = i;  // the prefix before the first occurrence stays as it is
  while (true) {
    // An occurrence at i: s[i] = left, s[i + 1] = right.
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
    const uint32_t j = find_pair(s, i, n, left, right);
    // Move s[i .. j) down to k; the ranges may overlap, the target lies lower.
    for (uint32_t t = i; t < j; ++t, ++k) {
      s[k] = s[t];
      if constexpr (kLengths) l[k] = l[t];
    }
    if (j >= n) return k;
    i = j;
  }
}

}  // namespace

void check_arena_room(uint64_t cells) {
  if (cells >= MAX_ARENA_CELLS) throw InternalError("symbol arena exceeds 4G symbols");
}

SymbolArena::SymbolArena(size_t symbol_capacity, size_t word_capacity, bool track_lengths)
    : track_lengths_(track_lengths) {
  const size_t cells = symbol_capacity + (HEADER + 1) * word_capacity;
  cells_.reserve(cells);
  if (track_lengths_) symbol_lengths_.reserve(cells);
  keys_.reserve(word_capacity);
  advise_huge_pages_for_words();
}

void SymbolArena::advise_huge_pages_for_words() {
  advise_huge_pages(cells_.data(), cells_.capacity() * sizeof(uint32_t));
  advise_huge_pages(symbol_lengths_.data(), symbol_lengths_.capacity() * sizeof(uint32_t));
}

uint64_t SymbolArena::add_key(uint64_t end, uint64_t length, uint64_t count) {
  const uint64_t start = end + end % 2;
  check_arena_room(start);
  const auto key = static_cast<uint32_t>(start / 2);
  keys_.push_back(key);
  if (count >= WIDE_COUNT) wide_counts_.emplace_back(key, count);
  return start + HEADER + length;
}

uint32_t SymbolArena::push_word(uint64_t count, std::span<const SymbolId> word_symbols) {
  if (word_symbols.size() > 0xFFFFFFFFULL) throw InternalError("symbol arena exceeds 4G symbols");
  const uint64_t end = add_key(cells_.size(), word_symbols.size(), count);
  cells_.resize(end, 0);  // the padding before the word too
  if (track_lengths_) symbol_lengths_.resize(end, 1);
  fill_word(static_cast<uint32_t>(keys_.size() - 1), count, word_symbols);
  return keys_.back();
}

SymbolArena SymbolArena::laid_out(std::span<const uint32_t> lengths,
                                  std::span<const uint64_t> counts, bool track_lengths) {
  if (counts.size() != lengths.size()) throw InternalError("a laid-out word without a count");
  SymbolArena arena(0, 0, track_lengths);
  arena.keys_.reserve(lengths.size());
  uint64_t end = 0;
  for (size_t i = 0; i < lengths.size(); ++i) end = arena.add_key(end, lengths[i], counts[i]);
  arena.cells_.resize(end);
  if (track_lengths) arena.symbol_lengths_.resize(end);
  arena.advise_huge_pages_for_words();
  return arena;
}

void SymbolArena::fill_word(uint32_t index, uint64_t count, std::span<const SymbolId> word_symbols) {
  const size_t start = start_of(keys_.at(index));
  const size_t end = index + 1 < keys_.size() ? start_of(keys_[index + 1]) : cells_.size();
  const size_t length = word_symbols.size();
  if (length > end - start - HEADER) {
    throw InternalError("word " + std::to_string(index) + " does not fit its laid-out cells");
  }
  uint32_t* const cells = cells_.data() + start;
  cells[LENGTH] = static_cast<uint32_t>(length);
  cells[COUNT] = static_cast<uint32_t>(std::min<uint64_t>(count, WIDE_COUNT));
  std::copy(word_symbols.begin(), word_symbols.end(), cells + HEADER);
  // The rest of the room, and the padding before the next word (which
  // starts at an even cell), are this word's to write, as push_word writes
  // its padding.
  std::fill(cells + HEADER + length, cells_.data() + end, 0u);
  if (track_lengths_) std::fill(symbol_lengths_.data() + start, symbol_lengths_.data() + end, 1u);
}

uint32_t SymbolArena::push_word(uint64_t count, std::span<const SymbolId> word_symbols,
                                const std::vector<uint32_t>& char_lengths) {
  const uint32_t key = push_word(count, word_symbols);
  if (!track_lengths_) return key;
  uint32_t* lengths = symbol_lengths_.data() + start_of(key) + HEADER;
  for (size_t i = 0; i < word_symbols.size(); ++i) lengths[i] = char_lengths.at(word_symbols[i]);
  return key;
}

// Only bounds: a key is not looked up (that would cost a search per word),
// but whatever a wrong one names lies inside the arena.
void SymbolArena::check_word(uint32_t w) const {
  const size_t start = start_of(w) + HEADER;
  if (start > cells_.size() || cells_[start_of(w) + LENGTH] > cells_.size() - start) {
    throw InternalError("word key " + std::to_string(w) + " out of range for an arena of " +
                        std::to_string(cells_.size()) + " cells");
  }
}

uint64_t SymbolArena::wide_count(uint32_t w) const {
  const auto held = std::lower_bound(wide_counts_.begin(), wide_counts_.end(),
                                     std::pair<uint32_t, uint64_t>(w, 0));
  if (held == wide_counts_.end() || held->first != w) {
    throw InternalError("word key " + std::to_string(w) + " has no count");
  }
  return held->second;
}

std::span<const SymbolId> SymbolArena::word(uint32_t w) const {
  check_word(w);
  return {cells_.data() + start_of(w) + HEADER, cells_[start_of(w) + LENGTH]};
}

std::span<const uint32_t> SymbolArena::symbol_lengths(uint32_t w) const {
  check_word(w);
  if (!track_lengths_) throw InternalError("symbol arena keeps no symbol lengths");
  return {symbol_lengths_.data() + start_of(w) + HEADER, cells_[start_of(w) + LENGTH]};
}

uint64_t SymbolArena::total_symbols() const {
  uint64_t total = 0;
  for (const uint32_t w : keys_) total += cells_[start_of(w) + LENGTH];
  return total;
}

bool SymbolArena::merge_word(uint32_t w, SymbolId left, SymbolId right, SymbolId new_id,
                             std::optional<uint64_t> limit, std::vector<PairDelta>& deltas,
                             const DeltaDrain* drain) {
  check_word(w);
  uint32_t& length = cells_[start_of(w) + LENGTH];
  const size_t start = start_of(w) + HEADER;
  const uint32_t n = length;
  SymbolId* s = cells_.data() + start;
  if (track_lengths_) {
    length = merge_symbols<true>(s, symbol_lengths_.data() + start, n, left, right,
                                             new_id, limit.has_value(), limit.value_or(0), deltas,
                                             drain);
  } else {
    if (limit.has_value()) {
      throw InternalError("max_token_length needs an arena with symbol lengths");
    }
    length = merge_symbols<false>(s, nullptr, n, left, right, new_id, false, 0, deltas, drain);
  }
  // Every occurrence shortens the word by one.
  return length != n;
}

}  // namespace selkbar
