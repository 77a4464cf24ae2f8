// wordtable.h: the distinct words of a corpus with their counts.
//
// A WordTable is one byte arena plus u32 end offsets (first entry 0) and u64
// counts. Word i is bytes[offsets[i] .. offsets[i+1]) and occurs counts[i]
// times. Ids are u32 positions assigned from 0 in order of insertion.
//
// Invariants: offsets is non-decreasing and one longer than counts; its last
// entry equals bytes.size(); bytes.size() never exceeds 0xFFFFFFFF. The table
// does not check that words are distinct or that counts are non-zero; its
// producers (ShardCounter, combine_shards) guarantee both.
//
// A WordTable is movable, not copyable: it can hold gigabytes.
#ifndef SELKBAR_WORDTABLE_H_
#define SELKBAR_WORDTABLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

namespace selkbar {

inline constexpr uint64_t MAX_ARENA_BYTES = 0xFFFFFFFFULL;

class WordTable {
 public:
  // `max_bytes` is the arena limit; tests lower it to reach the limit cheaply.
  explicit WordTable(uint64_t max_bytes = MAX_ARENA_BYTES) : offsets_{0}, max_bytes_(max_bytes) {}
  // Adopts arrays built elsewhere (a loaded file, a copy). Throws
  // InternalError unless they satisfy the invariants above.
  WordTable(std::vector<uint8_t> bytes, std::vector<uint32_t> offsets, std::vector<uint64_t> counts);
  WordTable(const WordTable&) = delete;
  WordTable& operator=(const WordTable&) = delete;
  WordTable(WordTable&&) noexcept = default;
  WordTable& operator=(WordTable&&) noexcept = default;

  // Appends a word and returns its id. Throws InternalError "unique word bytes
  // exceed 4 GB; recompile with u64 offsets" once the arena passes 0xFFFFFFFF
  // bytes (checked after the bytes are appended, before the offset is).
  uint32_t push(std::string_view word, uint64_t count);

  // Appends `count` words stored back to back in `bytes`, word i ending
  // ends[i] bytes into it, with counts counts[i]: one copy for all of them.
  // Throws InternalError at the arena limit (as push does) and bad_alloc,
  // either before anything is appended.
  // REQUIRES: ends non-decreasing, ends[count - 1] == bytes.size().
  void append_packed(std::string_view bytes, const uint64_t* ends, const uint64_t* counts,
                     size_t count);

  // REQUIRES: id < len(); otherwise throws InternalError.
  std::string_view get(uint32_t id) const;
  uint64_t count(uint32_t id) const { return counts_[id]; }
  void add_count(uint32_t id, uint64_t amount) { counts_[id] += amount; }
  size_t len() const { return counts_.size(); }

  // Reserves room for `words` more words holding `bytes` more bytes, growing
  // at least twofold, so that reserving before each of many additions stays
  // linear.
  void reserve(size_t words, size_t bytes);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  const std::vector<uint32_t>& offsets() const { return offsets_; }
  const std::vector<uint64_t>& counts() const { return counts_; }

  // A copy of the table, made on purpose (copying by accident is prevented).
  WordTable clone() const;

  // Frees all three arrays; the table is empty (offsets [0]) afterwards.
  void release();

 private:
  std::vector<uint8_t> bytes_;
  std::vector<uint32_t> offsets_;
  std::vector<uint64_t> counts_;
  uint64_t max_bytes_;
};

// The first word that repeats an earlier one, as (earlier, later) indices,
// or nullopt when every word is distinct. Linear time, one hashed index of
// 4 bytes per slot.
std::optional<std::pair<uint32_t, uint32_t>> first_repeat(const WordTable& table);

}  // namespace selkbar

#endif  // SELKBAR_WORDTABLE_H_
