#include "counts/word_counts.h"

#include <algorithm>
#include <bit>
#include <numeric>

#include "base/error.h"
#include "base/fxhash.h"

namespace selkbar {

namespace {

constexpr uint32_t NO_WORD = 0xFFFFFFFF;
constexpr size_t MIN_SLOTS = 16;

// Word `id` without the range check of WordTable::get: ids here come from
// the index or from loops bounded by len().
inline std::string_view word_of(const WordTable& table, uint32_t id) {
  const uint32_t begin = table.offsets()[id];
  return std::string_view(reinterpret_cast<const char*>(table.bytes().data()) + begin,
                          table.offsets()[id + 1] - begin);
}

// The smallest power of two of at least MIN_SLOTS slots that holds `entries`
// at a load of at most 3/4. Linear probing stays short at that load, and a
// slot is 8 bytes, so the index costs 10.7 to 21.3 bytes per word.
size_t slots_for(size_t entries) {
  size_t slots = MIN_SLOTS;
  while (entries > slots / 4 * 3) slots *= 2;
  return slots;
}

void check_new_word_limits(const WordTable& table, size_t new_words, uint64_t new_bytes) {
  if (table.len() + new_words >= NO_WORD) {
    throw InternalError("more than u32::MAX-1 unique words");
  }
  if (table.bytes().size() + new_bytes > MAX_ARENA_BYTES) {
    throw InternalError("unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
}

}  // namespace

void WordCounts::Index::build(const WordTable& words) { rehash(words, slots_for(words.len())); }

uint32_t WordCounts::Index::find(const WordTable& words, std::string_view word,
                                 uint64_t hash) const {
  const auto tag = static_cast<uint32_t>(hash);
  for (size_t i = hash >> shift_;; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot.id == NO_WORD) return NO_WORD;
    if (slot.tag == tag && word_of(words, slot.id) == word) return slot.id;
  }
}

void WordCounts::Index::reserve(const WordTable& table, size_t words) {
  const size_t needed = slots_for(words);
  if (needed > slots_.size()) rehash(table, needed);
}

void WordCounts::Index::insert(uint32_t id, uint64_t hash) {
  size_t i = hash >> shift_;
  while (slots_[i].id != NO_WORD) i = (i + 1) & mask_;
  slots_[i] = Slot{id, static_cast<uint32_t>(hash)};
  ++entries_;
}

void WordCounts::Index::rehash(const WordTable& words, size_t slot_count) {
  // Built aside and swapped in, so a failed allocation leaves the old index.
  std::vector<Slot, HugePageAllocator<Slot>> slots(slot_count, Slot{NO_WORD, 0});
  slots_.swap(slots);
  mask_ = slot_count - 1;
  shift_ = 64 - std::countr_zero(slot_count);
  entries_ = 0;
  for (uint32_t id = 0; id < words.len(); ++id) insert(id, pretoken_hash(word_of(words, id)));
}

WordCounts::WordCounts(PretokenizerId pretokenizer, WordTable words)
    : pretokenizer_(std::move(pretokenizer)), words_(std::move(words)) {
  for (uint64_t count : words_.counts()) total_ += count;
}

WordCounts WordCounts::clone() const { return WordCounts(pretokenizer_, words_.clone()); }

const WordCounts::Index& WordCounts::index() const {
  if (!index_.built()) index_.build(words_);
  return index_;
}

std::optional<uint32_t> WordCounts::find(std::string_view word) const {
  if (words_.len() == 0) return std::nullopt;
  const uint32_t id = index().find(words_, word, pretoken_hash(word));
  if (id == NO_WORD) return std::nullopt;
  return id;
}

bool WordCounts::add(std::string_view word, uint64_t count) {
  const uint64_t hash = pretoken_hash(word);
  const uint32_t id = index().find(words_, word, hash);
  if (id != NO_WORD) {
    if (words_.count(id) > MAX_WORD_COUNT - count) return false;
    words_.add_count(id, count);
    total_ += count;
    return true;
  }
  check_new_word_limits(words_, 1, word.size());
  index_.reserve(words_, words_.len() + 1);
  index_.insert(words_.push(word, count), hash);
  total_ += count;
  return true;
}

Status combinable(const WordCounts& a, const WordCounts& b) {
  if (a.pretokenizer() == b.pretokenizer()) return Status();
  return Status::InvalidInput("cannot combine word counts of different pretokenizers: " +
                              describe_pretokenizer(a.pretokenizer()) + " and " +
                              describe_pretokenizer(b.pretokenizer()));
}

Status WordCounts::add_all(const WordCounts& other) {
  if (Status status = combinable(*this, other); !status.ok()) return status;
  if (other.size() == 0) return Status();
  // First pass: find every word and check every limit, so that a failure
  // leaves this object as it was.
  const Index& index = this->index();
  const WordTable& theirs = other.words_;
  std::vector<uint32_t> match(theirs.len());
  size_t new_words = 0;
  uint64_t new_bytes = 0;
  for (uint32_t i = 0; i < theirs.len(); ++i) {
    const std::string_view word = word_of(theirs, i);
    match[i] = index.find(words_, word, pretoken_hash(word));
    if (match[i] == NO_WORD) {
      ++new_words;
      new_bytes += word.size();
    } else if (words_.count(match[i]) > MAX_WORD_COUNT - theirs.count(i)) {
      return Status::Overflow(
          "a word's combined count would pass 2**64 - 1 (18446744073709551615); nothing was "
          "changed");
    }
  }
  check_new_word_limits(words_, new_words, new_bytes);
  index_.reserve(words_, words_.len() + new_words);
  words_.reserve(new_words, new_bytes);
  // Second pass: apply. Nothing here can fail but allocation, which the
  // reservations above have done.
  for (uint32_t i = 0; i < theirs.len(); ++i) {
    if (match[i] != NO_WORD) {
      words_.add_count(match[i], theirs.count(i));
    } else {
      const std::string_view word = word_of(theirs, i);
      index_.insert(words_.push(word, theirs.count(i)), pretoken_hash(word));
    }
  }
  total_ += other.total_;
  return Status();
}

std::vector<uint32_t> WordCounts::most_common(size_t n) const {
  std::vector<uint32_t> ids(words_.len());
  std::iota(ids.begin(), ids.end(), 0u);
  const auto before = [this](uint32_t a, uint32_t b) {
    const uint64_t count_a = words_.count(a);
    const uint64_t count_b = words_.count(b);
    if (count_a != count_b) return count_a > count_b;
    return word_of(words_, a) < word_of(words_, b);  // char_traits compares as unsigned bytes
  };
  if (n >= ids.size()) {
    std::sort(ids.begin(), ids.end(), before);
  } else {
    std::partial_sort(ids.begin(), ids.begin() + static_cast<ptrdiff_t>(n), ids.end(), before);
    ids.resize(n);
  }
  return ids;
}

bool WordCounts::same_counts(const WordCounts& other) const {
  if (pretokenizer_ != other.pretokenizer_ || size() != other.size() || total_ != other.total_) {
    return false;
  }
  if (size() == 0) return true;
  const Index& theirs = other.index();
  for (uint32_t id = 0; id < words_.len(); ++id) {
    const std::string_view word = word_of(words_, id);
    const uint32_t match = theirs.find(other.words_, word, pretoken_hash(word));
    if (match == NO_WORD || other.words_.count(match) != words_.count(id)) return false;
  }
  return true;
}

}  // namespace selkbar
