// word.h: the symbol arena that holds every word of phase 2 as symbol ids.
//
// All words live in one flat array of 32-bit cells, each word as a header
// (its current length and its corpus count, or a mark that the count is
// 2^32 - 1 or more and kept aside) followed by its symbols, and each
// starting at an even cell. A word is named by its key, the place of
// its header in the array counted in pairs of cells (so that headers do not
// shrink how many symbols the arena holds: 2^33 cells, for at most 2^32
// symbols before). Keys grow in the order the words were pushed, so lists of
// keys sorted by key are in word order. The merge loop reads words in scattered order, and a word
// whose bookkeeping sits beside its symbols costs one cache miss (two when
// it straddles a line) where a separate record cost one more. Words never
// move: a merge rewrites the front of a word and shrinks it; the vacated
// tail keeps stale values and is never reused.
//
// When built with symbol lengths (only when max_token_length is given), a
// parallel array records how many characters of the corpus word each symbol
// covers. Tokenization writes 1 for every symbol, decorated ones included.
//
// merge_word rewrites one word, replacing every occurrence of (left, right),
// leftmost first and without overlap, by new_id. For each occurrence it
// appends PairDeltas in this order: (prev, left, -1), (prev, new_id, +1),
// (right, next, -1), (new_id, next, +1), where prev is read from the already
// rewritten part (so it may be new_id) and next from the part not yet read.
// With a limit, a +1 is produced only if the two symbols together cover fewer
// than `limit` characters; -1s are always produced. The occurrence itself
// produces no delta.
#ifndef SELKBAR_WORD_H_
#define SELKBAR_WORD_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/default_init_allocator.h"
#include "base/prefetch.h"

namespace selkbar {

using SymbolId = uint32_t;

// Ids and word indices are 32-bit; this value is never a valid one.
inline constexpr SymbolId NO_SYMBOL = 0xFFFFFFFF;

struct Pair {
  SymbolId left, right;

  // Pairs order by left, then right.
  friend auto operator<=>(const Pair&, const Pair&) = default;
};

struct PairDelta {
  Pair pair;
  int32_t delta;  // -1: an occurrence disappeared; +1: one appeared

  friend bool operator==(const PairDelta&, const PairDelta&) = default;
};

// Consumes and clears a batch of deltas during a long merge_word.
using DeltaDrain = std::function<void(std::vector<PairDelta>&)>;

// The batch size at which merge_word drains its deltas.
inline constexpr size_t MAX_PENDING_DELTAS = 1 << 16;

// A word may start only while the arena holds fewer than 2^33 cells
// (headers, symbols and padding), its key then below 2^32.
inline constexpr uint64_t MAX_ARENA_CELLS = 1ULL << 33;

// Throws InternalError "symbol arena exceeds 4G symbols" unless a word may be
// appended to an arena of `cells` cells.
void check_arena_room(uint64_t cells);

class SymbolArena {
 public:
  // Reserves room for `symbol_capacity` symbols in `word_capacity` words.
  SymbolArena(size_t symbol_capacity, size_t word_capacity, bool track_lengths);

  // Holds the whole corpus; copies would be accidents.
  SymbolArena(const SymbolArena&) = delete;
  SymbolArena& operator=(const SymbolArena&) = delete;
  SymbolArena(SymbolArena&&) noexcept = default;
  SymbolArena& operator=(SymbolArena&&) noexcept = default;

  // An arena laid out with room for words of up to lengths[i] symbols and
  // counts[i] occurrences, in that order, whose cells fill_word then
  // writes, each word from any thread: the words' cells are their own. A
  // word filled with fewer symbols leaves the rest of its room unused, as a
  // merge does. Nothing is written here, so the threads that fill the words
  // are the first to touch their memory. Throws the arena limit.
  static SymbolArena laid_out(std::span<const uint32_t> lengths,
                              std::span<const uint64_t> counts, bool track_lengths);
  // Writes the index-th word of a laid-out arena: its count (the one laid
  // out) and its symbols, each covering one character. Symbols that do not
  // fit the room laid out throw InternalError: nothing is written outside
  // the word's cells.
  void fill_word(uint32_t index, uint64_t count, std::span<const SymbolId> word_symbols);

  // Appends one word (possibly of zero symbols), each symbol covering one
  // character, and returns its key. Throws the arena limit before anything
  // is appended.
  uint32_t push_word(uint64_t count, std::span<const SymbolId> word_symbols);
  // The same for symbols that may cover several characters: symbol s covers
  // char_lengths[s] (read only when the arena tracks lengths).
  uint32_t push_word(uint64_t count, std::span<const SymbolId> word_symbols,
                     const std::vector<uint32_t>& char_lengths);

  size_t word_count() const { return keys_.size(); }
  // The keys of the words, in the order they were pushed (ascending).
  const std::vector<uint32_t>& keys() const { return keys_; }

  // REQUIRES: w is a key of this arena. A value that names no word inside
  // the arena throws InternalError.
  std::span<const SymbolId> word(uint32_t w) const;
  // REQUIRES: tracks_lengths() and w is a key.
  std::span<const uint32_t> symbol_lengths(uint32_t w) const;
  // REQUIRES: w is a key (unchecked).
  uint64_t count(uint32_t w) const {
    const uint32_t count = cells_[start_of(w) + COUNT];
    return count != WIDE_COUNT ? count : wide_count(w);
  }

  bool tracks_lengths() const { return track_lengths_; }
  // Sum of the current lengths of all words.
  uint64_t total_symbols() const;

  // Merges every occurrence of (left, right) in word w into new_id in place
  // and appends the resulting deltas; returns whether the word held the
  // pair. `limit` is max_token_length. Allocates nothing except growth of
  // `deltas`.
  //
  // With `drain`, deltas are handed over in batches: whenever `deltas` holds
  // at least MAX_PENDING_DELTAS entries after an occurrence, drain(deltas)
  // is called and must consume and clear them; the rest stay in `deltas`
  // for the caller. A word of n symbols can produce up to 2n deltas, so one
  // long word (a 200 MB pretoken) would otherwise need gigabytes of them.
  // REQUIRES: w is a key (checked as word() checks it); a limit only on an
  // arena that tracks lengths.
  bool merge_word(uint32_t w, SymbolId left, SymbolId right, SymbolId new_id,
                  std::optional<uint64_t> limit, std::vector<PairDelta>& deltas,
                  const DeltaDrain* drain = nullptr);

  // Cache hints for a loop over many words: fetch a word's header (and the
  // symbols that share its line) well ahead, then the end of its symbols
  // (which needs its length) shortly before use. REQUIRES: w is a key.
  //
  // The header's fetch takes the next line too: a long word (Chinese or
  // Japanese ones run to a hundred bytes) spans two or three lines, and the
  // second needs no length to be fetched, so it need not wait for the
  // header. For short words it is wasted, but costs no measurable time.
  void prefetch_word_header(uint32_t w) const {
    const size_t start = start_of(w);
    prefetch_read(cells_.data() + start);
    prefetch_read(cells_.data() + std::min(start + LINE_CELLS, cells_.size() - 1));
  }
  void prefetch_word_symbols(uint32_t w) const {
    const size_t first = start_of(w) + HEADER;
    const uint32_t length = cells_[start_of(w) + LENGTH];
    const size_t last = first + (length == 0 ? 0 : length - 1);
    prefetch_read(cells_.data() + last);
    if (track_lengths_) {
      prefetch_read(symbol_lengths_.data() + first);
      prefetch_read(symbol_lengths_.data() + last);
    }
  }

 private:
  // A word's cells: its current length, its count, then its symbols.
  static constexpr size_t LENGTH = 0, COUNT = 1, HEADER = 2;
  // In the count cell: the count is in wide_counts_.
  static constexpr uint32_t WIDE_COUNT = 0xFFFFFFFF;
  // Cells in a 64-byte cache line.
  static constexpr size_t LINE_CELLS = 16;
  // Keys count pairs of cells.
  static size_t start_of(uint32_t w) { return size_t{w} * 2; }

  void check_word(uint32_t w) const;
  uint64_t wide_count(uint32_t w) const;
  // Asks for huge pages under the cells reserved so far, before they are
  // first written. The merge loop reads words in scattered order from an
  // arena of a hundred megabytes and more: on 4 KiB pages nearly every word
  // it visits costs a page walk besides the cache miss.
  void advise_huge_pages_for_words();
  // Takes the key of the next word, of `length` symbols and `count`
  // occurrences, placed at the first even cell from `end` (noting a count
  // too wide for its cell), and returns the end of its cells. Throws the
  // arena limit before taking it.
  uint64_t add_key(uint64_t end, uint64_t length, uint64_t count);

  // Resized without writing: laid_out leaves the first touch to fill_word.
  std::vector<uint32_t, DefaultInitAllocator<uint32_t>> cells_;
  std::vector<uint32_t> keys_;
  // (key, count) of the words whose count does not fit their count cell,
  // ascending by key. Few: the most frequent words of a huge corpus.
  std::vector<std::pair<uint32_t, uint64_t>> wide_counts_;
  std::vector<uint32_t, DefaultInitAllocator<uint32_t>> symbol_lengths_;  // beside cells_; empty unless track_lengths_
  bool track_lengths_;
};

}  // namespace selkbar

#endif  // SELKBAR_WORD_H_
