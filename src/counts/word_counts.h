// word_counts.h: counted words as a value that outlives one training call.
//
// WordCounts holds distinct words with their counts in one WordTable (one
// byte arena, not a string per word) together with the PretokenizerId of the
// words. It is what phase 1 produces, kept so that one count of a corpus can
// serve many trainings, be saved, and be combined with counts made elsewhere.
//
//   WordCounts total(id, std::move(table_a));      // e.g. from count_words
//   WordCounts other(id, std::move(table_b));
//   if (Status status = total.add_all(other); !status.ok()) ...;  // nothing changed
//   std::optional<uint32_t> the = total.find("the");
//   std::vector<uint32_t> top = total.most_common(10);
//   train_from_borrowed_words(total.words(), config);  // reads, never changes
//
// Invariants: the words are distinct, non-empty byte strings; every count is
// in 1 .. 2^64 - 1; total() is the exact sum of the counts (it can pass
// 2^64, so it is 128 bits wide). The words are expected to be spelled as the
// pretokenizer's words are (word_spelling.h); WordCounts itself does not
// check spelling, its producers do.
//
// Lookup (find, add, add_all, ==) goes through a hash index over the arena,
// built on first use and kept up to date afterwards: a table that is only
// trained on never pays for it. The index costs 11 to 21 bytes per word.
//
// Thread safety: none inside. words(), pretokenizer(), total(), clone(),
// most_common() and the other object's side of add_all() only read the
// table, so they may run on several threads at once, and beside one thread
// that builds the index through find(). Anything that changes the counts
// needs them to itself. The module keeps every object it shares with a
// lock-free section unchanged for as long as that section runs.
#ifndef SELKBAR_WORD_COUNTS_H_
#define SELKBAR_WORD_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/huge_pages.h"
#include "base/status.h"
#include "pretokenize/pretokenizer_id.h"
#include "counts/wordtable.h"

namespace selkbar {

inline constexpr uint64_t MAX_WORD_COUNT = 0xFFFFFFFFFFFFFFFFULL;

using CountTotal = unsigned __int128;


class WordCounts {
 public:
  explicit WordCounts(PretokenizerId pretokenizer) : WordCounts(std::move(pretokenizer), WordTable()) {}
  // REQUIRES: the words of `words` are distinct and non-empty, every count
  // at least 1 (as phase 1 and the counts loader produce them).
  WordCounts(PretokenizerId pretokenizer, WordTable words);

  WordCounts(WordCounts&&) noexcept = default;
  WordCounts& operator=(WordCounts&&) noexcept = default;
  // Copies are explicit: a table can hold gigabytes. clone() reads only the
  // words, never the index, so it may run while another thread looks words
  // up; the copy builds its own index when it needs one.
  WordCounts(const WordCounts&) = delete;
  WordCounts& operator=(const WordCounts&) = delete;
  WordCounts clone() const;

  const PretokenizerId& pretokenizer() const { return pretokenizer_; }
  const WordTable& words() const { return words_; }
  // Hands the table over; the object may only be destroyed afterwards.
  WordTable take_words() && { return std::move(words_); }
  size_t size() const { return words_.len(); }
  CountTotal total() const { return total_; }

  // The id of `word`, if present.
  std::optional<uint32_t> find(std::string_view word) const;

  // Adds `count` (at least 1) occurrences of `word`, entering it if it is
  // new. Returns false, changing nothing, if its count would pass 2^64 - 1.
  // REQUIRES: word is non-empty. Throws InternalError at the arena limit.
  bool add(std::string_view word, uint64_t count);

  // Adds every word of `other`. Checks everything before changing anything:
  // a mismatched pretokenizer fails with combinable()'s status, a count
  // that would pass 2^64 - 1 with an Overflow status ("a word's combined
  // count would pass 2**64 - 1 (18446744073709551615); nothing was
  // changed"), and the arena or word-count limit throws InternalError, all
  // with this object unchanged. Linear in the sizes of both.
  Status add_all(const WordCounts& other);

  // The ids of the `n` most common words (all of them if n >= size()), by
  // count descending, then by the words' bytes ascending: the order is the
  // same whatever order the words were counted in.
  std::vector<uint32_t> most_common(size_t n) const;

  // Same pretokenizer and the same words with the same counts, in any order.
  bool same_counts(const WordCounts& other) const;

 private:
  class Index {
   public:
    bool built() const { return !slots_.empty(); }
    void build(const WordTable& words);
    uint32_t find(const WordTable& words, std::string_view word, uint64_t hash) const;
    // Makes room for `words` entries in all, keeping the load at most 3/4.
    void reserve(const WordTable& table, size_t words);
    void insert(uint32_t id, uint64_t hash);

   private:
    struct Slot {
      uint32_t id;   // NO_WORD when empty
      uint32_t tag;  // low half of the word's hash, to skip most byte compares
    };
    void rehash(const WordTable& words, size_t slot_count);

    // Probed at random: on huge pages most probes miss the cache but not the TLB.
    std::vector<Slot, HugePageAllocator<Slot>> slots_;
    size_t entries_ = 0;
    size_t mask_ = 0;
    int shift_ = 64;
  };

  const Index& index() const;

  PretokenizerId pretokenizer_;
  WordTable words_;
  CountTotal total_ = 0;
  mutable Index index_;
};

// Ok when `a` and `b` were cut by the same pretokenizer; otherwise an
// InvalidInput status "cannot combine word counts of different
// pretokenizers: {a's} and {b's}".
Status combinable(const WordCounts& a, const WordCounts& b);

}  // namespace selkbar

#endif  // SELKBAR_WORD_COUNTS_H_
