#include "counts/wordtable.h"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>

#include "base/error.h"
#include "base/fxhash.h"
#include "base/huge_pages.h"
#include "base/prefetch.h"

namespace selkbar {

WordTable::WordTable(std::vector<uint8_t> bytes, std::vector<uint32_t> offsets,
                     std::vector<uint64_t> counts)
    : bytes_(std::move(bytes)),
      offsets_(std::move(offsets)),
      counts_(std::move(counts)),
      max_bytes_(MAX_ARENA_BYTES) {
  bool ordered = !offsets_.empty() && offsets_.front() == 0;
  for (size_t i = 1; ordered && i < offsets_.size(); ++i) ordered = offsets_[i - 1] <= offsets_[i];
  if (!ordered || offsets_.size() != counts_.size() + 1 || offsets_.back() != bytes_.size() ||
      bytes_.size() > max_bytes_) {
    throw InternalError("word table arrays do not describe a table");
  }
}

WordTable WordTable::clone() const {
  WordTable copy(bytes_, offsets_, counts_);
  copy.max_bytes_ = max_bytes_;
  return copy;
}

uint32_t WordTable::push(std::string_view word, uint64_t count) {
  // A throw (the limit, or memory running out) leaves the table as it was:
  // the limit is checked first, and an append that fails undoes the ones
  // before it. The undo costs nothing until something throws, unlike
  // reserving ahead on every call.
  if (word.size() > max_bytes_ - bytes_.size()) {
    throw InternalError("unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
  const auto id = static_cast<uint32_t>(counts_.size());
  bytes_.insert(bytes_.end(), word.begin(), word.end());
  try {
    offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
    counts_.push_back(count);
  } catch (...) {
    bytes_.resize(offsets_[id]);
    offsets_.resize(static_cast<size_t>(id) + 1);
    throw;
  }
  return id;
}

void WordTable::append_packed(std::string_view bytes, const uint64_t* ends,
                              const uint64_t* counts, size_t count) {
  if (bytes.size() > max_bytes_ - bytes_.size()) {
    throw InternalError("unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
  reserve(count, bytes.size());  // the only step that can fail
  const size_t base = bytes_.size();
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  for (size_t i = 0; i < count; ++i) offsets_.push_back(static_cast<uint32_t>(base + ends[i]));
  counts_.insert(counts_.end(), counts, counts + count);
}

std::string_view WordTable::get(uint32_t id) const {
  if (id >= counts_.size()) {
    throw InternalError("word id " + std::to_string(id) + " out of range for a table of " +
                        std::to_string(counts_.size()) + " words");
  }
  const uint32_t begin = offsets_[id];
  return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + begin,
                          offsets_[id + 1] - begin);
}

namespace {

// Room for `more` elements, grown at least twofold as push_back would grow
// it, so that reserving before each of many small additions stays linear.
template <typename Vector>
void reserve_more(Vector& vector, size_t more) {
  const size_t needed = vector.size() + more;
  if (needed > vector.capacity()) vector.reserve(std::max(needed, 2 * vector.capacity()));
}

}  // namespace

void WordTable::reserve(size_t words, size_t bytes) {
  reserve_more(bytes_, bytes);
  reserve_more(offsets_, words);
  reserve_more(counts_, words);
}

void WordTable::release() {
  std::vector<uint8_t>().swap(bytes_);
  std::vector<uint32_t>{0}.swap(offsets_);
  std::vector<uint64_t>().swap(counts_);
}

std::optional<std::pair<uint32_t, uint32_t>> first_repeat(const WordTable& table) {
  const size_t words = table.len();
  size_t slot_count = 16;
  // A load of at most 3/4: linear probes with tags stay short at that load,
  // and a smaller array keeps more of the random probes in the cache.
  while (slot_count / 4 * 3 < words) slot_count *= 2;
  // A slot holds the id and the hash's low half, so that a collision
  // compares words (a second cache miss, into the arena) only when the
  // halves match. The slots are probed at random: the hashes of the words
  // AHEAD places on are computed early and their slots prefetched, so that
  // the misses of several words overlap instead of coming one at a time; on
  // huge pages those misses do not miss the TLB too.
  struct Slot {
    uint32_t id;
    uint32_t tag;
  };
  constexpr uint32_t EMPTY = UINT32_MAX;
  constexpr size_t AHEAD = 16;
  std::vector<Slot, HugePageAllocator<Slot>> slots(slot_count, Slot{EMPTY, 0});
  const size_t mask = slot_count - 1;
  // FxHash mixes its high bits well and its low bits poorly: the bucket
  // comes from the top, the tag from the bottom.
  const int shift = 64 - std::countr_zero(slot_count);
  const uint8_t* const bytes = table.bytes().data();
  const uint32_t* const offsets = table.offsets().data();
  const auto word_of = [&](size_t id) {
    return std::string_view(reinterpret_cast<const char*>(bytes) + offsets[id],
                            offsets[id + 1] - offsets[id]);
  };
  uint64_t ahead[AHEAD];
  const auto schedule = [&](size_t id) {
    const uint64_t hash = pretoken_hash(word_of(id));
    ahead[id % AHEAD] = hash;
    prefetch_read(&slots[hash >> shift]);
  };
  for (size_t w = 0; w < std::min(words, AHEAD); ++w) schedule(w);
  for (size_t w = 0; w < words; ++w) {
    const uint64_t hash = ahead[w % AHEAD];
    if (w + AHEAD < words) schedule(w + AHEAD);
    const auto tag = static_cast<uint32_t>(hash);
    for (size_t i = hash >> shift;; i = (i + 1) & mask) {
      if (slots[i].id == EMPTY) {
        slots[i] = Slot{static_cast<uint32_t>(w), tag};
        break;
      }
      if (slots[i].tag == tag && word_of(slots[i].id) == word_of(w)) {
        return std::make_pair(slots[i].id, static_cast<uint32_t>(w));
      }
    }
  }
  return std::nullopt;
}

}  // namespace selkbar
