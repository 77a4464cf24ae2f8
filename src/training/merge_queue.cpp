#include "training/merge_queue.h"

#include <utility>

namespace selkbar {

void MergeQueue::push(MergeCandidate&& candidate) {
  if (size_ + SHIFT >= blocks_.size() * BLOCK_SIZE) blocks_.push_back(std::make_unique<Block>());
  // Sift up with a hole: one move per level instead of a swap.
  size_t hole = size_++;
  while (hole > 0) {
    const size_t parent = (hole - 1) / 4;
    MergeCandidate& above = at(parent);
    if (!outranks(candidate, above)) break;
    at(hole) = std::move(above);
    hole = parent;
  }
  at(hole) = std::move(candidate);
}

void MergeQueue::sift_down(size_t hole, MergeCandidate&& moving) {
  const size_t n = size_;
  while (true) {
    const size_t first = 4 * hole + 1;
    if (first >= n) break;
    size_t best = first;
    const size_t last = first + 4 <= n ? first + 4 : n;
    for (size_t child = first + 1; child < last; ++child) {
      if (outranks(at(child), at(best))) best = child;
    }
    if (!outranks(at(best), moving)) break;
    at(hole) = std::move(at(best));
    hole = best;
  }
  at(hole) = std::move(moving);
}

MergeCandidate MergeQueue::pop() {
  MergeCandidate top = std::move(at(0));
  MergeCandidate last = std::move(at(--size_));
  // One spare block stays, so that a queue shrinking and growing across a
  // block boundary does not allocate each time.
  if (blocks_.size() * BLOCK_SIZE >= size_ + SHIFT + 2 * BLOCK_SIZE) blocks_.pop_back();
  if (size_ != 0) sift_down(0, std::move(last));
  return top;
}

void MergeQueue::recount_top(uint64_t count) {
  MergeCandidate top = std::move(at(0));
  top.count = count;
  sift_down(0, std::move(top));
}

}  // namespace selkbar
