#include "counting/counter.h"

#include <bit>
#include <functional>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/fxhash.h"
#include "base/same_bytes.h"
#include "unicode/utf8.h"

namespace selkbar {

uint32_t ShardCounter::head(uint64_t hash) const {
  if (slots_.empty()) return NO_WORD;
  return slots_[find_slot(hash)].id;
}

[[gnu::always_inline]] inline size_t ShardCounter::find_slot(uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  size_t i = bucket(hash);
  while (slots_[i].id != NO_WORD && slots_[i].key != hash) i = (i + 1) & mask;
  return i;
}

void ShardCounter::grow() {
  const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<Slot, HugePageAllocator<Slot>> old(capacity, Slot{0, NO_WORD});
  old.swap(slots_);
  shift_ = 64 - std::countr_zero(capacity);
  for (const Slot& slot : old) {
    if (slot.id != NO_WORD) slots_[find_slot(slot.key)] = slot;
  }
}

namespace {

// How far ahead of the pretoken being counted each prefetch stage works, in
// pretokens: the slot first, then the head word's offset and count once the
// slot has arrived, then the word's bytes once the offset has.
constexpr size_t SLOT_DISTANCE = 24;
constexpr size_t ENTRY_DISTANCE = 12;
constexpr size_t BYTES_DISTANCE = 6;

}  // namespace

void ShardCounter::add(std::string_view word, uint64_t hash, uint64_t count) {
  count_one(word, hash, count);
}

// Inlined into add_batch's loop, where it runs once per pretoken.
[[gnu::always_inline]] inline void ShardCounter::count_one(std::string_view word, uint64_t hash,
                                                              uint64_t count) {
  // Keep the load at or below 3/4 so probe sequences stay short.
  if ((used_ + 1) * 4 > slots_.size() * 3) grow();
  const size_t slot = find_slot(hash);
  const uint32_t head = slots_[slot].id;
  const auto* bytes = table_.bytes().data();
  const uint32_t* offsets = table_.offsets().data();
  const auto* wanted = reinterpret_cast<const uint8_t*>(word.data());
  for (uint32_t id = head; id != NO_WORD; id = next_[id]) {
    // Ids come from the index and the chains, which hold only ids this
    // counter handed out, so the word is read without a range check.
    const uint32_t begin = offsets[id];
    if (offsets[id + 1] - begin == word.size() && same_bytes(bytes + begin, wanted, word.size())) {
      table_.add_count(id, count);
      return;
    }
  }
  if (table_.len() >= max_words_) throw InternalError("more than u32::MAX-1 unique words");
  const uint32_t id = table_.push(word, count);
  next_.push_back(head);
  if (head == NO_WORD) ++used_;
  slots_[slot] = Slot{hash, id};
}

[[gnu::always_inline]] inline void ShardCounter::prefetch_slot(uint64_t hash) const {
  if (!slots_.empty()) prefetch_read(&slots_[bucket(hash)]);
}

[[gnu::always_inline]] inline uint32_t ShardCounter::hinted_word(uint64_t hash) const {
  if (slots_.empty()) return NO_WORD;
  const Slot& slot = slots_[bucket(hash)];
  return slot.key == hash ? slot.id : NO_WORD;
}

[[gnu::always_inline]] inline void ShardCounter::prefetch_entry(uint64_t hash) const {
  const uint32_t id = hinted_word(hash);
  if (id == NO_WORD) return;
  prefetch_read(&table_.offsets()[id]);
  prefetch_read(&table_.counts()[id]);
}

[[gnu::always_inline]] inline void ShardCounter::prefetch_bytes(uint64_t hash) const {
  const uint32_t id = hinted_word(hash);
  if (id != NO_WORD) prefetch_read(table_.bytes().data() + table_.offsets()[id]);
}

template <bool Counted>
void ShardCounter::add_batch_of(const PretokenBatch& batch) {
  const size_t n = batch.len();
  for (size_t i = 0; i < n; ++i) {
    if (i + SLOT_DISTANCE < n) prefetch_slot(batch.hash(i + SLOT_DISTANCE));
    if (i + ENTRY_DISTANCE < n) prefetch_entry(batch.hash(i + ENTRY_DISTANCE));
    if (i + BYTES_DISTANCE < n) prefetch_bytes(batch.hash(i + BYTES_DISTANCE));
    count_one(batch.pretoken(i), batch.hash(i), Counted ? batch.count(i) : 1);
  }
}

void ShardCounter::add_batch(const PretokenBatch& batch) {
  if (batch.counted()) {
    add_batch_of<true>(batch);
  } else {
    add_batch_of<false>(batch);
  }
}

void ShardCounter::absorb(ShardCounter&& other) {
  // The index grows as words turn out to be new here, not ahead for the sum
  // of both counters: the workers' counters of one partition share most of
  // their words (on 1 GB of Chinese and Japanese, 234k and 219k words made
  // a union of 342k, which fits the index as it is, where the sum forced a
  // doubling). A doubling here allocates fresh memory the size of the
  // index, whose first touch took up to 0.13 s for 16 MB on a virtual
  // machine, while the partitions' merge had little else to overlap it with.
  table_.reserve(other.len(), other.table_.bytes().size());
  const std::vector<Slot, HugePageAllocator<Slot>>& from = other.slots_;
  const size_t n = from.size();
  for (size_t i = 0; i < n; ++i) {
    // The other counter's slots are read in order; this counter's slot for
    // each of them is a miss, fetched ahead.
    if (i + SLOT_DISTANCE < n && from[i + SLOT_DISTANCE].id != NO_WORD) {
      prefetch_slot(from[i + SLOT_DISTANCE].key);
    }
    if (from[i].id == NO_WORD) continue;
    for (uint32_t id = from[i].id; id != NO_WORD; id = other.next_[id]) {
      count_one(other.table_.get(id), from[i].key, other.table_.count(id));
    }
  }
  WordTable released = std::move(other).into_table();
}

WordTable ShardCounter::into_table() && {
  std::vector<uint32_t>().swap(next_);
  std::vector<Slot, HugePageAllocator<Slot>>().swap(slots_);
  used_ = 0;
  return std::move(table_);
}

WordTable combine_shards(std::vector<ShardCounter>&& shards,
                         const std::array<uint32_t, 256>* byte_to_char, const ParallelFor& parallel) {
  const ParallelFor in_turn = [](size_t count, const std::function<void(size_t)>& job) {
    for (size_t i = 0; i < count; ++i) job(i);
  };
  const ParallelFor& run = parallel ? parallel : in_turn;
  // Re-spelled words grow by the UTF-8 length of each byte's character.
  // Sizing the arena exactly avoids a doubling at the largest allocation of
  // phase 1. Each byte's spelling is encoded once here, in a 4-byte slot, so
  // that re-spelling a word is a fixed-size copy per byte.
  std::array<std::array<uint8_t, 4>, 256> spelling{};
  std::array<uint8_t, 256> spelled_length{};
  if (byte_to_char != nullptr) {
    for (size_t byte = 0; byte < 256; ++byte) {
      const uint8_t* const end = put_utf8(spelling[byte].data(), (*byte_to_char)[byte]);
      spelled_length[byte] = static_cast<uint8_t>(end - spelling[byte].data());
    }
  }
  const size_t n = shards.size();
  // Where each shard's words and bytes go in the result.
  std::vector<uint64_t> first_word(n + 1, 0);
  std::vector<uint64_t> first_byte(n + 1, 0);
  run(n, [&](size_t i) {
    uint64_t bytes = 0;
    if (byte_to_char == nullptr) {
      bytes = shards[i].table().bytes().size();
    } else {
      for (uint8_t byte : shards[i].table().bytes()) bytes += spelled_length[byte];
    }
    first_byte[i + 1] = bytes;
    first_word[i + 1] = shards[i].len();
  });
  for (size_t i = 0; i < n; ++i) {
    first_byte[i + 1] += first_byte[i];
    first_word[i + 1] += first_word[i];
  }
  if (first_byte[n] > MAX_ARENA_BYTES) {
    throw InternalError("unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
  if (first_word[n] >= NO_WORD) throw InternalError("more than u32::MAX-1 unique words");

  std::vector<uint8_t> bytes(first_byte[n]);
  std::vector<uint32_t> offsets(first_word[n] + 1, 0);
  std::vector<uint64_t> counts(first_word[n]);
  run(n, [&](size_t i) {
    const WordTable table = std::move(shards[i]).into_table();
    uint8_t* out = bytes.data() + first_byte[i];
    const uint64_t base = first_word[i];
    if (byte_to_char == nullptr) {
      if (!table.bytes().empty()) std::memcpy(out, table.bytes().data(), table.bytes().size());
      const uint32_t shift = static_cast<uint32_t>(first_byte[i]);
      for (uint32_t id = 0; id < table.len(); ++id) {
        offsets[base + id + 1] = shift + table.offsets()[id + 1];
        counts[base + id] = table.count(id);
      }
      return;
    }
    // A spelling is copied as its whole 4-byte slot, except near the end of
    // this shard's place, where the next shard's words may be being written.
    const uint8_t* const place_end = bytes.data() + first_byte[i + 1];
    for (uint32_t id = 0; id < table.len(); ++id) {
      for (unsigned char byte : table.get(id)) {
        std::memcpy(out, spelling[byte].data(), place_end - out >= 4 ? 4 : spelled_length[byte]);
        out += spelled_length[byte];
      }
      offsets[base + id + 1] = static_cast<uint32_t>(out - bytes.data());
      counts[base + id] = table.count(id);
    }
  });
  return WordTable(std::move(bytes), std::move(offsets), std::move(counts));
}

}  // namespace selkbar
