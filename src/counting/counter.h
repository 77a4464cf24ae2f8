// counter.h: counts the distinct pretokens of one partition of the hash
// space, merges the counters several workers kept for one partition, and
// concatenates the partitions into one WordTable.
//
// A ShardCounter is used by one thread at a time and takes no locks; it keeps
// no pointers into the batches it was fed. Every pretoken arrives with its
// pretoken_hash, computed by the worker; the counter never hashes bytes. It
// keeps, per distinct hash, the newest word with that hash, and chains words
// whose 64-bit hashes collide through next_ (newest first, 0xFFFFFFFF ends a
// chain), so bytes are compared only against candidates with an equal hash.
#ifndef SELKBAR_COUNTER_H_
#define SELKBAR_COUNTER_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "counting/batch.h"
#include "base/fxhash.h"
#include "base/huge_pages.h"
#include "base/prefetch.h"
#include "counts/wordtable.h"

namespace selkbar {

inline constexpr uint32_t NO_WORD = 0xFFFFFFFF;

class ShardCounter {
 public:
  // The limits default to the fixed ones (ids below 0xFFFFFFFF, a 4 GiB
  // arena); tests lower them to reach the limits cheaply.
  explicit ShardCounter(uint32_t max_words = NO_WORD, uint64_t max_bytes = MAX_ARENA_BYTES)
      : table_(max_bytes), max_words_(max_words) {}
  ShardCounter(const ShardCounter&) = delete;
  ShardCounter& operator=(const ShardCounter&) = delete;
  ShardCounter(ShardCounter&&) noexcept = default;
  ShardCounter& operator=(ShardCounter&&) noexcept = default;

  // Counts one occurrence of `word`, whose pretoken_hash is `hash`. Throws
  // InternalError "more than u32::MAX-1 unique words" before a word would get
  // id 0xFFFFFFFF, and the arena limit of WordTable::push.
  void add(std::string_view word, uint64_t hash, uint64_t count = 1);

  const WordTable& table() const { return table_; }
  size_t len() const { return table_.len(); }

  // Releases the chains and the index, then hands over the table.
  WordTable into_table() &&;

  // Adds every word of `other` with its count, as add() would, and leaves
  // `other` empty. Words new here get ids after this counter's own.
  void absorb(ShardCounter&& other);

  // Counts every pretoken of `batch` (once, or its count in a counted
  // batch), in batch order, as add() would. On
  // real corpora the index and the words are far larger than the cache and
  // most pretokens cost a chain of dependent misses (slot, then the word's
  // offset and count, then its bytes). The loop runs three stages ahead of
  // the pretoken it counts, each taking one more step of that chain for a
  // later pretoken, so the misses of many pretokens overlap.
  void add_batch(const PretokenBatch& batch);

  // The id that `index` holds for `hash` (the head of its chain), or NO_WORD.
  uint32_t head(uint64_t hash) const;
  // The chain link of word `id`: the previous word with the same hash.
  uint32_t next(uint32_t id) const { return next_[id]; }

 private:
  struct Slot {
    uint64_t key;
    uint32_t id;  // NO_WORD marks an empty slot
  };

  // The first slot probed for `hash`. The keys are already hashes, but their
  // low bits may be poorly mixed for some inputs; one FxHash step and the
  // high bits of the product pick the bucket.
  size_t bucket(uint64_t hash) const { return static_cast<size_t>((hash * FX_SEED) >> shift_); }
  // Position of `hash` in slots_: its slot, or the empty slot where it goes.
  size_t find_slot(uint64_t hash) const;
  void grow();
  // The id of `word` among the words whose hash has index slot `slot`, or
  // NO_WORD. REQUIRES: the index is not empty.
  uint32_t find_word(std::string_view word, size_t slot) const;
  void count_one(std::string_view word, uint64_t hash, uint64_t count);
  // Enters `word`, which is not here, at `slot` (find_slot(hash)), at the
  // head of its hash's chain. REQUIRES: room in the index for one more hash.
  void insert_word(std::string_view word, uint64_t hash, uint64_t count, size_t slot);
  template <bool Counted>
  void add_batch_of(const PretokenBatch& batch);

  // The prefetch stages of add_batch, for the pretoken whose hash is `hash`.
  // They only look at the first slot probed: a hint, wrong at worst.
  // hinted_word is the id that slot holds for `hash`, or NO_WORD.
  uint32_t hinted_word(uint64_t hash) const;
  void prefetch_slot(uint64_t hash) const;
  void prefetch_entry(uint64_t hash) const;
  void prefetch_bytes(uint64_t hash) const;

  WordTable table_;
  std::vector<uint32_t> next_;
  std::vector<Slot, HugePageAllocator<Slot>> slots_;  // open addressing, linear probing, power-of-two size
  size_t used_ = 0;
  uint32_t max_words_;
  int shift_ = 64;  // 64 - log2(slots_.size())
};

// Runs job(i) for every i in [0, count), on as many threads as it likes,
// and returns when all have returned.
using ParallelFor = std::function<void(size_t count, const std::function<void(size_t)>& job)>;

// Concatenates the shards, in the given (partition) order, into one table and
// releases each shard as soon as it has been copied. With `byte_to_char`
// (byte-level mode) every byte is re-spelled as the UTF-8 encoding of its
// mapped character. Each shard is copied into its own place of the result,
// so `parallel` may copy several at once (the default copies them in turn).
// Throws InternalError "unique word bytes exceed 4 GB; recompile with u64
// offsets" or "more than u32::MAX-1 unique words" before copying anything
// when the result would pass the table's limits.
WordTable combine_shards(std::vector<ShardCounter>&& shards,
                         const std::array<uint32_t, 256>* byte_to_char,
                         const ParallelFor& parallel = nullptr);

}  // namespace selkbar

#endif  // SELKBAR_COUNTER_H_
