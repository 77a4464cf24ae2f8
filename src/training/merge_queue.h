// merge_queue.h: the candidates of the merge loop, best first.
//
// MergeQueue is a max-heap of MergeCandidates: larger count first, then
// smaller left id, then smaller right id. A candidate's count may be stale;
// the merge loop checks it against PairCounts before it pops it, and
// corrects a stale one in place. A candidate is 32 bytes including a list of
// up to two positions.
//
// The heap has four children per node, and its storage is shifted so that
// the four siblings fill two whole cache lines: with millions of candidates
// every level of a sift is a cache miss, and this halves the levels while
// each still costs one (paired) fetch.
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
  // The candidate pop() would return. REQUIRES: !empty().
  const MergeCandidate& top() { return at(0); }
  // Gives the top candidate the count `count` and moves it to its place:
  // what popping it and pushing it back with that count does, in one pass.
  // REQUIRES: !empty().
  void recount_top(uint64_t count);

 private:
  static constexpr int BLOCK_SHIFT = 15;  // 32768 candidates, 1 MiB
  static constexpr size_t BLOCK_SIZE = size_t{1} << BLOCK_SHIFT;
  // Candidate i is stored at slot i + SHIFT, so that the children of node
  // i, candidates 4i + 1 .. 4i + 4, take slots 4(i + 1) .. 4(i + 1) + 3: two
  // cache lines, never split across a block.
  static constexpr size_t SHIFT = 3;
  struct alignas(64) Block {
    MergeCandidate slots[BLOCK_SIZE];
  };

  MergeCandidate& at(size_t i) {
    const size_t slot = i + SHIFT;
    return blocks_[slot >> BLOCK_SHIFT]->slots[slot & (BLOCK_SIZE - 1)];
  }
  // Moves `moving` down from the hole at `hole` to its place.
  void sift_down(size_t hole, MergeCandidate&& moving);

  std::vector<std::unique_ptr<Block>> blocks_;
  size_t size_ = 0;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_MERGE_QUEUE_H_
