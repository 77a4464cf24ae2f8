// position_list.h: the word indices where a pair was seen.
//
// A PositionList suppresses consecutive duplicates (a word is listed once
// however often the pair occurs in it, as long as words are pushed in
// order). Two entries live inline; longer lists move to the heap in
// power-of-two capacities, taking and giving back buffers through a
// SparePool (spare_pool.h) so that the merge loop reuses them. A list is 16
// bytes and a position 4; out of memory surfaces as std::bad_alloc, more
// than 2^32 - 1 entries as InternalError.
#ifndef SELKBAR_TRAINING_POSITION_LIST_H_
#define SELKBAR_TRAINING_POSITION_LIST_H_

#include <cstdint>
#include <cstdlib>

namespace selkbar {

class SparePool;

class PositionList {
 public:
  static constexpr uint32_t INLINE_CAPACITY = 2;

  PositionList() noexcept : size_(0), capacity_(INLINE_CAPACITY), heap_(nullptr) {}
  ~PositionList() { release(); }
  PositionList(const PositionList&) = delete;
  PositionList& operator=(const PositionList&) = delete;
  PositionList(PositionList&& other) noexcept
      : size_(other.size_), capacity_(other.capacity_), heap_(other.heap_) {
    other.reset();
  }
  PositionList& operator=(PositionList&& other) noexcept {
    if (this != &other) {
      release();
      size_ = other.size_;
      capacity_ = other.capacity_;
      heap_ = other.heap_;
      other.reset();
    }
    return *this;
  }

  // Appends w unless it equals the last element. Growth past the inline
  // entries takes a buffer from `pool` when it has one of the right size.
  void push_unique(uint32_t w, SparePool& pool) {
    if (size_ != 0 && data()[size_ - 1] == w) return;
    if (size_ == capacity_) grow(pool);
    data()[size_++] = w;
  }

  // Appends the elements of `other` after this list's, the first of them
  // skipped if it equals the last here (so joining the lists of two
  // consecutive word ranges gives the list of both).
  void append(const PositionList& other, SparePool& pool);

  uint32_t size() const { return size_; }
  uint32_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }
  uint32_t operator[](uint32_t i) const { return data()[i]; }
  bool on_heap() const { return capacity_ > INLINE_CAPACITY; }

  // Gives back the unused tail of a list too large for the pool; smaller
  // ones keep their power-of-two capacity so that the pool can take them.
  void shrink_large();

 private:
  friend class SparePool;

  uint32_t* data() { return on_heap() ? heap_ : inline_; }
  const uint32_t* data() const { return on_heap() ? heap_ : inline_; }
  void grow(SparePool& pool);
  // Moves the entries into a buffer of exactly `capacity` entries, taken
  // from the system rather than the pool. REQUIRES: size() <= capacity <=
  // 0xFFFFFFFF, and capacity above SparePool::MAX_POOLED_CAPACITY.
  void resize_large(uint64_t capacity);
  // Inline: every move of a candidate through the merge queue calls it.
  void release() noexcept {
    if (on_heap()) std::free(heap_);
  }
  void reset() noexcept {
    size_ = 0;
    capacity_ = INLINE_CAPACITY;
    heap_ = nullptr;
  }

  uint32_t size_;
  uint32_t capacity_;
  union {
    uint32_t inline_[INLINE_CAPACITY];
    uint32_t* heap_;
  };
};
static_assert(sizeof(PositionList) == 16);

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_POSITION_LIST_H_
