// local_counts.h: a counting worker's small table of the words it sees most
// often.
//
//   LocalCounts local;
//   local.prepare();                            // allocates the table
//   auto evict = [&](std::string_view word, uint64_t hash, uint64_t count) {
//     count_later(word, hash, count);           // in the word's partition
//   };
//   if (!local.add(pretoken, hash, evict)) route(pretoken, hash);
//   ...
//   local.drain(evict);                         // once the text has ended
//
// Most pretokens of a corpus are a few thousand frequent words. A worker
// that counts those first, in a table small enough to stay in its core's
// cache, spares its partition tables (far larger than any cache) most of
// their lookups and its batches most of their bytes.
//
// The table is direct-mapped: each slot holds one word of up to MAX_WORD
// bytes with its count. A word that finds its slot empty takes it. One that
// finds another word there challenges it, and takes the slot once the
// challenges outnumber the occupant's count, handing the occupant's word and
// count to `evict`; until then add() returns false and the caller routes the
// pretoken as it would without this table. Frequent words so settle in their
// slots while rare ones pass through. Counts stay exact: every occurrence is
// counted once, either here (and later handed on by evict or drain) or by
// the caller. Words are compared byte by byte, never by hash alone.
//
// Owned by one thread; no locks. Fixed size once prepared: 64 bytes per slot,
// 512 KiB by default.
#ifndef SELKBAR_LOCAL_COUNTS_H_
#define SELKBAR_LOCAL_COUNTS_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>

#include "base/fxhash.h"
#include "base/same_bytes.h"

namespace selkbar {

class LocalCounts {
 public:
  static constexpr size_t MAX_WORD = 43;

  // 2^slot_bits slots, allocated by the first prepare(): a worker that
  // never gets any text costs nothing. REQUIRES: 1 <= slot_bits <= 24.
  explicit LocalCounts(int slot_bits = 13) : slot_bits_(slot_bits) {}
  LocalCounts(const LocalCounts&) = delete;
  LocalCounts& operator=(const LocalCounts&) = delete;

  // Allocates the table unless it exists. May throw std::bad_alloc.
  // The table is mapped from the system rather than taken from malloc:
  // every call starts new worker threads, and malloc keeps freed blocks of
  // this size in per-thread arenas, so over many calls the resident set
  // would creep up; an unmapped table is gone.
  void prepare() {
    if (slots_ != nullptr) return;
    const size_t count = size_t{1} << slot_bits_;
    const size_t bytes = count * sizeof(Slot);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    Slot* slots = static_cast<Slot*>(memory);
    std::uninitialized_default_construct_n(slots, count);
    slots_ = std::unique_ptr<Slot[], Unmap>(slots, Unmap{bytes});
    size_ = count;
    shift_ = 64 - slot_bits_;
  }

  // REQUIRES: prepare() has been called.
  // Counts one occurrence of `word` (whose pretoken_hash is `hash`) here and
  // returns true, or returns false and leaves it to the caller. May first
  // call evict(word, hash, count) once for the word whose slot it takes.
  template <typename Evict>
  [[gnu::always_inline]] bool add(std::string_view word, uint64_t hash, Evict&& evict) {
    if (word.size() > MAX_WORD) return false;
    Slot& slot = slots_[(hash * FX_SEED) >> shift_];
    if (slot.hash == hash && slot.length == word.size() &&
        same_bytes(slot.bytes, reinterpret_cast<const uint8_t*>(word.data()), word.size())) {
      ++slot.count;
      return true;
    }
    return challenge(slot, word, hash, evict);
  }

  // Hands every word held, with its count, to evict(word, hash, count) and
  // empties the table (which has none before prepare()).
  template <typename Evict>
  void drain(Evict&& evict) {
    for (size_t i = 0; i < size_; ++i) {
      Slot& slot = slots_[i];
      if (slot.length == EMPTY) continue;
      evict(slot.word(), slot.hash, slot.count);
      slot = Slot{};
    }
  }

 private:
  static constexpr uint8_t EMPTY = 0xFF;

  struct alignas(64) Slot {
    uint64_t hash = 0;
    uint64_t count = 0;
    uint32_t challenges = 0;
    uint8_t length = EMPTY;
    uint8_t bytes[MAX_WORD];

    std::string_view word() const {
      return std::string_view(reinterpret_cast<const char*>(bytes), length);
    }
    void hold(std::string_view word, uint64_t word_hash) {
      hash = word_hash;
      count = 1;
      challenges = 0;
      length = static_cast<uint8_t>(word.size());
      std::memcpy(bytes, word.data(), word.size());
    }
  };
  static_assert(sizeof(Slot) == 64);
  static_assert(std::is_trivially_destructible_v<Slot>);

  // Out of the inlined path: a miss is the rare case for most pretokens.
  template <typename Evict>
  [[gnu::noinline]] bool challenge(Slot& slot, std::string_view word, uint64_t hash,
                                   Evict& evict) {
    if (slot.length != EMPTY) {
      if (++slot.challenges <= slot.count) return false;
      evict(slot.word(), slot.hash, slot.count);
    }
    slot.hold(word, hash);
    return true;
  }

  // Slots hold plain values: unmapping is all their release takes.
  struct Unmap {
    size_t bytes;
    void operator()(Slot* slots) const noexcept { munmap(slots, bytes); }
  };

  int slot_bits_;
  std::unique_ptr<Slot[], Unmap> slots_;
  size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace selkbar

#endif  // SELKBAR_LOCAL_COUNTS_H_
