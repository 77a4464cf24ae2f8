#include "training/pairstats.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/error.h"

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

void MergeQueue::push(MergeCandidate&& candidate) {
  if (size_ == blocks_.size() * BLOCK_SIZE) {
    blocks_.push_back(std::make_unique<MergeCandidate[]>(BLOCK_SIZE));
  }
  // Sift up with a hole: one move per level instead of a swap.
  size_t hole = size_++;
  while (hole > 0) {
    const size_t parent = (hole - 1) / 2;
    MergeCandidate& above = at(parent);
    if (!outranks(candidate, above)) break;
    at(hole) = std::move(above);
    hole = parent;
  }
  at(hole) = std::move(candidate);
}

MergeCandidate MergeQueue::pop() {
  MergeCandidate top = std::move(at(0));
  MergeCandidate last = std::move(at(--size_));
  // One spare block stays, so that a queue shrinking and growing across a
  // block boundary does not allocate each time.
  if (blocks_.size() * BLOCK_SIZE >= size_ + 2 * BLOCK_SIZE) blocks_.pop_back();
  const size_t n = size_;
  if (n == 0) return top;
  // Sift the last element down from the root through a hole.
  size_t hole = 0;
  while (true) {
    size_t child = 2 * hole + 1;
    if (child >= n) break;
    if (child + 1 < n && outranks(at(child + 1), at(child))) ++child;
    if (!outranks(at(child), last)) break;
    at(hole) = std::move(at(child));
    hole = child;
  }
  at(hole) = std::move(last);
  return top;
}

}  // namespace selkbar
