#include "pairstats.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "error.h"

namespace selkbar {

namespace {

uint32_t* allocate_positions(uint64_t capacity) {
  void* buffer = std::malloc(capacity * sizeof(uint32_t));
  if (buffer == nullptr) throw std::bad_alloc();
  return static_cast<uint32_t*>(buffer);
}

// Smallest power-of-two slot count (at least 16) holding `entries` at the
// given maximum load of numerator/denominator.
size_t slots_for(size_t entries, size_t numerator, size_t denominator) {
  size_t slots = 16;
  while (entries * denominator > slots * numerator) slots *= 2;
  return slots;
}

}  // namespace

// ---- PositionList and SparePool ----

void PositionList::release() noexcept {
  if (on_heap()) std::free(heap_);
}

void PositionList::grow(SparePool& pool) {
  if (capacity_ == 0xFFFFFFFF) throw InternalError("position list exceeds u32::MAX entries");
  const uint64_t new_capacity = std::min<uint64_t>(uint64_t{capacity_} * 2, 0xFFFFFFFF);
  if (new_capacity > SparePool::MAX_POOLED_CAPACITY) {
    // Large lists grow in place; realloc may avoid the copy.
    void* buffer = std::realloc(heap_, new_capacity * sizeof(uint32_t));
    if (buffer == nullptr) throw std::bad_alloc();
    heap_ = static_cast<uint32_t*>(buffer);
    capacity_ = static_cast<uint32_t>(new_capacity);
    return;
  }
  uint32_t* buffer = pool.take(static_cast<uint32_t>(new_capacity));
  if (buffer == nullptr) buffer = allocate_positions(new_capacity);
  std::memcpy(buffer, data(), size_ * sizeof(uint32_t));
  // Switch to the new buffer before recycling the old one: if recycling
  // throws, `old` frees its buffer and this list stays whole.
  PositionList old;
  if (on_heap()) {
    old.capacity_ = capacity_;
    old.heap_ = heap_;
  }
  heap_ = buffer;
  capacity_ = static_cast<uint32_t>(new_capacity);
  if (old.on_heap()) pool.recycle(std::move(old));
}

void PositionList::shrink_large() {
  if (capacity_ <= SparePool::MAX_POOLED_CAPACITY || size_ == capacity_) return;
  // Shrinking in place never needs more memory; if realloc declines, the
  // list simply keeps its buffer.
  void* buffer = std::realloc(heap_, uint64_t{size_} * sizeof(uint32_t));
  if (buffer == nullptr) return;
  heap_ = static_cast<uint32_t*>(buffer);
  capacity_ = size_;
}

SparePool::~SparePool() {
  for (auto& stack : stacks_) {
    for (uint32_t* buffer : stack) std::free(buffer);
  }
}

void SparePool::recycle(PositionList&& list) {
  if (list.on_heap() && list.capacity_ <= MAX_POOLED_CAPACITY) {
    // If push_back throws, the list still owns its buffer.
    auto& stack = stacks_[class_of(list.capacity_)];
    stack.push_back(list.heap_);
    list.reset();
  } else {
    list.release();
    list.reset();
  }
}

uint32_t* SparePool::take(uint32_t capacity) {
  auto& stack = stacks_[class_of(capacity)];
  if (stack.empty()) return nullptr;
  uint32_t* buffer = stack.back();
  stack.pop_back();
  return buffer;
}

size_t SparePool::buffers() const {
  size_t total = 0;
  for (const auto& stack : stacks_) total += stack.size();
  return total;
}

// ---- PairCounts ----

void PairCounts::reserve(size_t pairs) {
  const size_t slots = slots_for(pairs, 3, 4);
  if (slots > mask_ + 1 || !slots_) rehash(slots);
}

void PairCounts::grow() { rehash(slots_ ? (mask_ + 1) * 2 : 16); }

void PairCounts::rehash(size_t slot_count) {
  std::unique_ptr<Slot[]> old = std::move(slots_);
  const size_t old_count = old ? mask_ + 1 : 0;
  slots_.reset(new Slot[slot_count]);
  for (size_t i = 0; i < slot_count; ++i) slots_[i].key.left = NO_SYMBOL;
  mask_ = slot_count - 1;
  shift_ = 64 - std::countr_zero(slot_count);
  for (size_t j = 0; j < old_count; ++j) {
    const Slot& from = old[j];
    if (from.key.left == NO_SYMBOL) continue;
    size_t i = bucket(from.key);
    while (slots_[i].key.left != NO_SYMBOL) i = (i + 1) & mask_;
    slots_[i] = from;
  }
}

// ---- PairSteps ----

void PairSteps::grow() { rehash(slots_ ? (mask_ + 1) * 2 : 16); }

void PairSteps::rehash(size_t slot_count) {
  if (slot_count > (size_t{1} << 32)) throw std::bad_alloc();
  std::unique_ptr<PairStep[]> fresh(new PairStep[slot_count]);
  for (size_t i = 0; i < slot_count; ++i) fresh[i].pair.left = NO_SYMBOL;
  std::vector<uint32_t> fresh_used;
  fresh_used.reserve(slot_count / 2);
  const size_t fresh_mask = slot_count - 1;
  const int fresh_shift = 64 - std::countr_zero(slot_count);
  for (uint32_t old_slot : used_) {
    PairStep& from = slots_[old_slot];
    size_t i = static_cast<size_t>(pair_hash(from.pair) >> fresh_shift);
    while (fresh[i].pair.left != NO_SYMBOL) i = (i + 1) & fresh_mask;
    fresh[i].pair = from.pair;
    fresh[i].count_change = from.count_change;
    fresh[i].positions = std::move(from.positions);
    fresh_used.push_back(static_cast<uint32_t>(i));
  }
  slots_ = std::move(fresh);
  used_ = std::move(fresh_used);
  mask_ = fresh_mask;
  shift_ = fresh_shift;
}

// ---- MergeChanges ----

void MergeChanges::begin(SymbolId left, SymbolId right, SymbolId new_id, size_t symbol_count) {
  left_ = left;
  right_ = right;
  new_id_ = new_id;
  for (auto& index : index_) {
    if (index.size() < symbol_count) {
      index.resize(std::max(symbol_count, index.size() * 2), NO_SYMBOL);
    }
  }
}

void MergeChanges::clear() {
  for (size_t i = 0; i < used_; ++i) {
    PairStep& step = entries_[i];
    index_of(step.pair) = NO_SYMBOL;
    step.positions = PositionList();
  }
  used_ = 0;
}

uint32_t& MergeChanges::unexpected_pair() {
  throw InternalError("pair change outside the merged pair's neighbourhood");
}

// ---- MergeQueue ----

namespace {

// Heap and sort order: the candidate merged first is the greatest. At the
// level the counts are equal, so this orders by pair.
bool merged_later(const MergeCandidate& a, const MergeCandidate& b) { return outranks(b, a); }

uint64_t pair_key(Pair pair) { return uint64_t{pair.left} << 32 | pair.right; }

// Levels at least this large are radix sorted, RADIX_BITS per pass.
constexpr size_t RADIX_SORT_MIN = 2048;
constexpr int RADIX_BITS = 11;

// Emptied chunks kept for reuse; beyond this many they are freed, so that
// draining a large bucket does not leave its chunks held beside the heap.
constexpr size_t MAX_SPARE_CHUNKS = 4096;

}  // namespace

MergeQueue::~MergeQueue() {
  for (Chunk* head : buckets_) {
    while (head != nullptr) delete std::exchange(head, head->next);
  }
  while (spare_ != nullptr) delete std::exchange(spare_, spare_->next);
}

void MergeQueue::push(MergeCandidate&& candidate) {
  if (candidate.count > level_) {
    above_.push_back(std::move(candidate));
    std::push_heap(above_.begin(), above_.end(), merged_later);
  } else if (candidate.count == level_) {
    level_late_.push_back(std::move(candidate));
    std::push_heap(level_late_.begin(), level_late_.end(), merged_later);
  } else {
    append_to_bucket(std::move(candidate));
  }
  ++size_;
}

MergeCandidate MergeQueue::pop() {
  MergeCandidate top;
  if (!above_.empty()) {
    std::pop_heap(above_.begin(), above_.end(), merged_later);
    top = std::move(above_.back());
    above_.pop_back();
  } else {
    if (level_next_ == level_order_.size() && level_late_.empty()) descend();
    top = take_from_level();
  }
  --size_;
  return top;
}

MergeCandidate MergeQueue::take_from_level() {
  const bool sorted_left = level_next_ < level_order_.size();
  if (level_late_.empty() ||
      (sorted_left && level_order_[level_next_].pair < pair_key(level_late_.front().pair))) {
    MergeCandidate top = std::move(level_items_[level_order_[level_next_++].index]);
    if (level_next_ == level_order_.size()) {
      level_items_.clear();
      level_order_.clear();
      level_next_ = 0;
    }
    return top;
  }
  std::pop_heap(level_late_.begin(), level_late_.end(), merged_later);
  MergeCandidate top = std::move(level_late_.back());
  level_late_.pop_back();
  return top;
}

void MergeQueue::append_to_bucket(MergeCandidate&& candidate) {
  // Below the level, so below DENSE_COUNTS.
  const auto count = static_cast<size_t>(candidate.count);
  if (count >= buckets_.size()) {
    const size_t doubled = std::max<size_t>(16, buckets_.size() * 2);
    buckets_.resize(std::clamp<size_t>(doubled, count + 1, DENSE_COUNTS), nullptr);
  }
  Chunk* head = buckets_[count];
  if (head == nullptr || head->used == CHUNK_CANDIDATES) {
    Chunk* fresh = take_chunk();
    fresh->next = head;
    fresh->before = head == nullptr ? 0 : head->before + head->used;
    buckets_[count] = head = fresh;
  }
  head->items[head->used++] = std::move(candidate);
}

void MergeQueue::descend() {
  size_t bucket = std::min<size_t>(static_cast<size_t>(level_), buckets_.size());
  while (bucket > 0 && buckets_[bucket - 1] == nullptr) --bucket;
  if (bucket == 0) throw InternalError("merge queue holds no candidate it counts");
  --bucket;
  const size_t candidates = buckets_[bucket]->before + buckets_[bucket]->used;
  // Reserving first leaves nothing below that can throw.
  level_items_.reserve(candidates);
  level_order_.reserve(candidates);
  level_ = bucket;
  Chunk* chunk = std::exchange(buckets_[bucket], nullptr);
  while (chunk != nullptr) {
    // The chunks of a bucket lie wherever they were allocated; fetch the
    // next one while this one is copied.
    if (chunk->next != nullptr) {
      for (size_t offset = 0; offset < sizeof(Chunk); offset += 64) {
        prefetch_read(reinterpret_cast<const char*>(chunk->next) + offset);
      }
    }
    for (uint32_t i = 0; i < chunk->used; ++i) {
      level_order_.push_back({pair_key(chunk->items[i].pair),
                              static_cast<uint32_t>(level_items_.size())});
      level_items_.push_back(std::move(chunk->items[i]));
    }
    give_back(std::exchange(chunk, chunk->next));
  }
  sort_level();
}

void MergeQueue::sort_level() {
  const size_t n = level_order_.size();
  if (n < RADIX_SORT_MIN) {
    std::sort(level_order_.begin(), level_order_.end(),
              [](const LevelKey& a, const LevelKey& b) { return a.pair < b.pair; });
    return;
  }
  // Least significant digit first over the bits the keys use, as a key of
  // the left id's bits above the right id's: stable passes over 16-byte
  // records beat a comparison sort once a level holds thousands.
  uint64_t left_bits = 0, right_bits = 0;
  for (const LevelKey& key : level_order_) {
    left_bits |= key.pair >> 32;
    right_bits |= key.pair & 0xFFFFFFFF;
  }
  const int right_width = std::bit_width(right_bits);
  const int width = std::bit_width(left_bits) + right_width;
  auto compact = [right_width](uint64_t pair) {
    return (pair >> 32) << right_width | (pair & 0xFFFFFFFF);
  };
  sort_buffer_.resize(n);
  std::vector<size_t> starts(size_t{1} << RADIX_BITS);
  for (int shift = 0; shift < width; shift += RADIX_BITS) {
    std::fill(starts.begin(), starts.end(), 0);
    const uint64_t digit_mask = (uint64_t{1} << RADIX_BITS) - 1;
    for (const LevelKey& key : level_order_) ++starts[compact(key.pair) >> shift & digit_mask];
    size_t position = 0;
    for (size_t& start : starts) position += std::exchange(start, position);
    for (const LevelKey& key : level_order_) {
      sort_buffer_[starts[compact(key.pair) >> shift & digit_mask]++] = key;
    }
    level_order_.swap(sort_buffer_);
  }
}

MergeQueue::Chunk* MergeQueue::take_chunk() {
  Chunk* chunk = spare_;
  if (chunk != nullptr) {
    spare_ = chunk->next;
    --spare_count_;
  } else {
    chunk = new Chunk;
  }
  chunk->next = nullptr;
  chunk->used = 0;
  return chunk;
}

void MergeQueue::give_back(Chunk* chunk) {
  if (spare_count_ >= MAX_SPARE_CHUNKS) {
    delete chunk;
    return;
  }
  chunk->used = 0;
  chunk->next = spare_;
  spare_ = chunk;
  ++spare_count_;
}

}  // namespace selkbar
