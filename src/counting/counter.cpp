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

[[gnu::always_inline]] inline uint32_t ShardCounter::find_word(std::string_view word,
                                                                  size_t slot) const {
  const auto* bytes = table_.bytes().data();
  const uint32_t* offsets = table_.offsets().data();
  const auto* wanted = reinterpret_cast<const uint8_t*>(word.data());
  for (uint32_t id = slots_[slot].id; id != NO_WORD; id = next_[id]) {
    // Ids come from the index and the chains, which hold only ids this
    // counter handed out, so the word is read without a range check.
    const uint32_t begin = offsets[id];
    if (offsets[id + 1] - begin == word.size() && same_bytes(bytes + begin, wanted, word.size())) {
      return id;
    }
  }
  return NO_WORD;
}

// Inlined into add_batch's loop, where it runs once per pretoken.
[[gnu::always_inline]] inline void ShardCounter::count_one(std::string_view word, uint64_t hash,
                                                              uint64_t count) {
  // Keep the load at or below 3/4 so probe sequences stay short.
  if ((used_ + 1) * 4 > slots_.size() * 3) grow();
  const size_t slot = find_slot(hash);
  const uint32_t held = find_word(word, slot);
  if (held != NO_WORD) {
    table_.add_count(held, count);
    return;
  }
  insert_word(word, hash, count, slot);
}

[[gnu::always_inline]] inline void ShardCounter::insert_word(std::string_view word, uint64_t hash,
                                                                uint64_t count, size_t slot) {
  if (table_.len() >= max_words_) throw InternalError("more than u32::MAX-1 unique words");
  const uint32_t head = slots_[slot].id;
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
  // Two passes: the words both counters hold take the other's counts first,
  // and the index then grows once, to hold the new words, before they go in.
  // Inserted in the order of the other's slots (which is the order of their
  // buckets here too) into an index still sized for this counter's own
  // words, the new words would all land just behind one front that sweeps
  // the index; where they are many (on 5 GB of English, 372k of the other
  // counter's 620k words, into an index 2/3 full) the load behind that
  // front passes 1 and one probe run grows with every insertion: a thousand
  // probes per word on average. Growing first also never grows more than
  // the union needs: the workers' counters share most of their words.
  table_.reserve(other.len(), other.table_.bytes().size());
  const WordTable& theirs = other.table_;
  const std::vector<Slot, HugePageAllocator<Slot>>& from = other.slots_;
  const size_t n = from.size();
  std::vector<Slot> fresh;  // (hash, the other's id) of the words new here, in order
  if (slots_.empty()) grow();
  for (size_t i = 0; i < n; ++i) {
    // The other counter's slots are read in order; everything else each of
    // them leads to is a miss: this counter's slot, the word it holds and
    // its bytes, and the other's word. They are fetched in stages ahead, as
    // add_batch fetches them for pretokens.
    if (i + SLOT_DISTANCE < n && from[i + SLOT_DISTANCE].id != NO_WORD) {
      prefetch_slot(from[i + SLOT_DISTANCE].key);
      prefetch_read(&theirs.offsets()[from[i + SLOT_DISTANCE].id]);
      prefetch_read(&theirs.counts()[from[i + SLOT_DISTANCE].id]);
    }
    if (i + ENTRY_DISTANCE < n && from[i + ENTRY_DISTANCE].id != NO_WORD) {
      prefetch_entry(from[i + ENTRY_DISTANCE].key);
      prefetch_read(theirs.bytes().data() + theirs.offsets()[from[i + ENTRY_DISTANCE].id]);
    }
    if (i + BYTES_DISTANCE < n && from[i + BYTES_DISTANCE].id != NO_WORD) {
      prefetch_bytes(from[i + BYTES_DISTANCE].key);
    }
    if (from[i].id == NO_WORD) continue;
    const size_t slot = find_slot(from[i].key);
    for (uint32_t id = from[i].id; id != NO_WORD; id = other.next_[id]) {
      const uint32_t held = find_word(theirs.get(id), slot);
      if (held != NO_WORD) {
        table_.add_count(held, theirs.count(id));
      } else {
        fresh.push_back(Slot{from[i].key, id});
      }
    }
  }
  // At most one index entry per new word (fewer where hashes collide), so
  // the index needs no growth while they go in; none of them is here yet.
  while ((used_ + fresh.size()) * 4 > slots_.size() * 3) grow();
  const size_t m = fresh.size();
  for (size_t j = 0; j < m; ++j) {
    if (j + SLOT_DISTANCE < m) prefetch_slot(fresh[j + SLOT_DISTANCE].key);
    const uint32_t id = fresh[j].id;
    insert_word(theirs.get(id), fresh[j].key, theirs.count(id), find_slot(fresh[j].key));
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
