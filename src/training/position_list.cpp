#include "training/position_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/error.h"
#include "training/spare_pool.h"

namespace selkbar {

namespace {

uint32_t* allocate_positions(uint64_t capacity) {
  void* buffer = std::malloc(capacity * sizeof(uint32_t));
  if (buffer == nullptr) throw std::bad_alloc();
  return static_cast<uint32_t*>(buffer);
}

}  // namespace

// PositionList and SparePool share this file: a list's growth takes from
// and gives back to the pool, and keeping both here lets those calls inline
// (and keeps spare_pool.h from including position_list.h).

void PositionList::grow(SparePool& pool) {
  if (capacity_ == 0xFFFFFFFF) throw InternalError("position list exceeds u32::MAX entries");
  const uint64_t new_capacity = std::min<uint64_t>(uint64_t{capacity_} * 2, 0xFFFFFFFF);
  if (new_capacity > SparePool::MAX_POOLED_CAPACITY) {
    resize_large(new_capacity);
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

void PositionList::resize_large(uint64_t capacity) {
  // A buffer on the heap grows in place; realloc may avoid the copy.
  const size_t bytes = capacity * sizeof(uint32_t);
  uint32_t* buffer = on_heap() ? static_cast<uint32_t*>(std::realloc(heap_, bytes))
                               : allocate_positions(capacity);
  if (buffer == nullptr) throw std::bad_alloc();
  if (!on_heap()) std::memcpy(buffer, inline_, size_ * sizeof(uint32_t));
  heap_ = buffer;
  capacity_ = static_cast<uint32_t>(capacity);
}

void PositionList::append(const PositionList& other, SparePool& pool) {
  const uint32_t* from = other.begin();
  const uint32_t* const to = other.end();
  if (from != to && size_ != 0 && data()[size_ - 1] == *from) ++from;
  const auto count = static_cast<uint64_t>(to - from);
  if (count == 0) return;
  const uint64_t needed = uint64_t{size_} + count;
  if (needed > 0xFFFFFFFF) throw InternalError("position list exceeds u32::MAX entries");
  if (needed > capacity_ && needed > SparePool::MAX_POOLED_CAPACITY) {
    // A large list takes exactly the room it needs: joining the halves of
    // a long list would otherwise hold a doubled buffer beside the half
    // being copied.
    resize_large(needed);
  }
  // A list holds no consecutive duplicates, so the rest is copied whole.
  while (capacity_ - size_ < count) grow(pool);
  std::memcpy(data() + size_, from, count * sizeof(uint32_t));
  size_ += static_cast<uint32_t>(count);
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

}  // namespace selkbar
