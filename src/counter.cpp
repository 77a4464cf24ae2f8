#include "counter.h"

#include <bit>
#include <cstring>
#include <string>

#include "error.h"
#include "fxhash.h"
#include "utf8.h"

namespace selkbar {

uint32_t ShardCounter::head(uint64_t hash) const {
  if (slots_.empty()) return NO_WORD;
  return slots_[find_slot(hash)].id;
}

size_t ShardCounter::find_slot(uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  size_t i = bucket(hash);
  while (slots_[i].id != NO_WORD && slots_[i].key != hash) i = (i + 1) & mask;
  return i;
}

void ShardCounter::grow() {
  const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<Slot> old(capacity, Slot{0, NO_WORD});
  old.swap(slots_);
  shift_ = 64 - std::countr_zero(capacity);
  for (const Slot& slot : old) {
    if (slot.id != NO_WORD) slots_[find_slot(slot.key)] = slot;
  }
}

void ShardCounter::add(std::string_view word, uint64_t hash) {
  // Keep the load at or below 3/4 so probe sequences stay short.
  if ((used_ + 1) * 4 > slots_.size() * 3) grow();
  const size_t slot = find_slot(hash);
  const uint32_t head = slots_[slot].id;
  for (uint32_t id = head; id != NO_WORD; id = next_[id]) {
    const std::string_view candidate = table_.get(id);
    if (candidate.size() == word.size() &&
        std::memcmp(candidate.data(), word.data(), word.size()) == 0) {
      table_.add_count(id, 1);
      return;
    }
  }
  if (table_.len() >= max_words_) throw InternalError("more than u32::MAX-1 unique words");
  const uint32_t id = table_.push(word, 1);
  next_.push_back(head);
  if (head == NO_WORD) ++used_;
  slots_[slot] = Slot{hash, id};
}

WordTable ShardCounter::into_table() && {
  std::vector<uint32_t>().swap(next_);
  std::vector<Slot>().swap(slots_);
  used_ = 0;
  return std::move(table_);
}

WordTable combine_shards(std::vector<ShardCounter>&& shards,
                         const std::array<uint32_t, 256>* byte_to_char) {
  size_t words = 0;
  size_t bytes = 0;
  for (const ShardCounter& shard : shards) {
    words += shard.len();
    if (byte_to_char == nullptr) {
      bytes += shard.table().bytes().size();
      continue;
    }
    // Re-spelled words grow: only bytes 0x21..0x7E keep one byte, every other
    // byte maps to a character in U+00A1..U+0143, two bytes in UTF-8. Sizing
    // the arena exactly avoids a doubling at the largest allocation of phase 1.
    for (uint8_t byte : shard.table().bytes()) bytes += (byte >= 0x21 && byte <= 0x7E) ? 1 : 2;
  }
  WordTable result;
  result.reserve(words, bytes);
  std::vector<uint8_t> scratch;
  for (ShardCounter& shard : shards) {
    WordTable table = std::move(shard).into_table();
    for (uint32_t id = 0; id < table.len(); ++id) {
      const std::string_view word = table.get(id);
      if (byte_to_char == nullptr) {
        result.push(word, table.count(id));
        continue;
      }
      scratch.clear();
      for (unsigned char byte : word) append_utf8(scratch, (*byte_to_char)[byte]);
      result.push(std::string_view(reinterpret_cast<const char*>(scratch.data()), scratch.size()),
                  table.count(id));
    }
  }
  return result;
}

}  // namespace selkbar
