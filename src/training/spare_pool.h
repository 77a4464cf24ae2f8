// spare_pool.h: emptied heap buffers of position lists, kept by capacity so
// that lists created during the merge loop reuse them instead of allocating.
//
// A pool belongs to one merge loop and is used by one thread at a time; the
// buffers it holds are freed with it. Pool and list reach into each other
// (a list grows through the pool, the pool takes a list's buffer), so the
// members of both are defined together in position_list.cpp; this header
// only names PositionList, which keeps the two headers from including each
// other.
#ifndef SELKBAR_TRAINING_SPARE_POOL_H_
#define SELKBAR_TRAINING_SPARE_POOL_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace selkbar {

class PositionList;

// Emptied heap buffers, one stack per power-of-two capacity up to
// MAX_POOLED_CAPACITY. Reuse is exact-fit, so a short list never holds a
// large recycled buffer; larger buffers are freed when recycled, since they
// are rare and their allocation is paid back by their size.
class SparePool {
 public:
  static constexpr uint32_t MAX_POOLED_CAPACITY = 1024;

  SparePool() = default;
  ~SparePool();
  SparePool(const SparePool&) = delete;
  SparePool& operator=(const SparePool&) = delete;

  // Empties `list`, keeping its buffer here if it has a pooled capacity.
  void recycle(PositionList&& list);
  // A buffer of exactly `capacity` entries, or nullptr.
  uint32_t* take(uint32_t capacity);

  size_t buffers() const;

 private:
  static constexpr int CLASSES = 9;  // capacities 4, 8, ..., 1024
  // REQUIRES: capacity is a power of two in [4, MAX_POOLED_CAPACITY].
  static int class_of(uint32_t capacity) { return std::countr_zero(capacity) - 2; }

  std::vector<uint32_t*> stacks_[CLASSES];
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_SPARE_POOL_H_
