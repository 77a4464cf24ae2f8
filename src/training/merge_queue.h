// merge_queue.h: the candidates of the merge loop, best first.
//
// MergeQueue is a binary max-heap of MergeCandidates: larger count first,
// then smaller left id, then smaller right id. A candidate's count may be
// stale; the merge loop checks it against PairCounts when it pops it. A
// candidate is 32 bytes including a list of up to two positions.
#ifndef SELKBAR_TRAINING_MERGE_QUEUE_H_
#define SELKBAR_TRAINING_MERGE_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "training/position_list.h"
#include "training/word.h"

namespace selkbar {

struct MergeCandidate {
  uint64_t count;  // the pair's count when last pushed; may be stale
  Pair pair;
  PositionList positions;
};
static_assert(sizeof(MergeCandidate) == 32);

// True when a is merged before b.
inline bool outranks(const MergeCandidate& a, const MergeCandidate& b) {
  if (a.count != b.count) return a.count > b.count;
  if (a.pair.left != b.pair.left) return a.pair.left < b.pair.left;
  return a.pair.right < b.pair.right;
}

// The heap lives in fixed-size blocks rather than one vector. The queue
// grows through the whole merge loop (every pair a merge forms enters it, to
// a few million candidates at 1 GB), and it is the largest structure then:
// a vector would hold up to twice its size in capacity, and three times for
// the moment of each reallocation, which set the run's peak memory. Blocks
// grow it by 1 MiB at a time and move nothing.
class MergeQueue {
 public:
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  void push(MergeCandidate&& candidate);
  // REQUIRES: !empty().
  MergeCandidate pop();

 private:
  static constexpr int BLOCK_SHIFT = 15;  // 32768 candidates, 1 MiB
  static constexpr size_t BLOCK_SIZE = size_t{1} << BLOCK_SHIFT;

  MergeCandidate& at(size_t i) { return blocks_[i >> BLOCK_SHIFT][i & (BLOCK_SIZE - 1)]; }

  std::vector<std::unique_ptr<MergeCandidate[]>> blocks_;
  size_t size_ = 0;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_MERGE_QUEUE_H_
