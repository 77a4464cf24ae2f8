#include "training/merge_queue.h"

#include <utility>

namespace selkbar {

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
