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

// The heap of the candidates near the top (see MergeQueue). It lives in
// fixed-size blocks rather than one vector: a vector would hold up to twice
// its size in capacity, and three times for the moment of each
// reallocation. Blocks grow it by 64 KiB at a time and move nothing: it
// holds only the candidates near the top, and its slack adds to the peak.
class CandidateHeap {
 public:
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  void push(MergeCandidate&& candidate);
  // REQUIRES: !empty().
  MergeCandidate pop();
  // REQUIRES: !empty().
  const MergeCandidate& top() { return at(0); }
  // Gives the top candidate the count `count` and moves it to its place:
  // what popping it and pushing it back with that count does, in one pass.
  // REQUIRES: !empty().
  void recount_top(uint64_t count);
  // Calls visit(pair) for the top's children, one of which becomes the top
  // when the top leaves or sinks.
  template <typename Visit>
  void visit_runners_up(Visit&& visit) {
    const size_t last = size_ < 5 ? size_ : 5;
    for (size_t i = 1; i < last; ++i) visit(at(i).pair);
  }

 private:
  static constexpr int BLOCK_SHIFT = 11;  // 2048 candidates, 64 KiB
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

// The queue in two tiers. The merge loop pops near the top while every
// merge pushes the pairs it formed, mostly far below the top: a single heap
// of millions of candidates would pay a cache miss per level for each pop
// and each stale recount. So only the candidates at or above a floor count
// are kept in order, in a small heap; the others wait unordered in buckets
// by count (one per count below 4096, then sixteen per doubling), and when
// the heap runs dry the highest non-empty bucket moves into it and the
// floor drops to that bucket's least count. Pops come out in exactly the
// order one heap over all candidates gives.
class MergeQueue {
 public:
  MergeQueue();
  MergeQueue(const MergeQueue&) = delete;
  MergeQueue& operator=(const MergeQueue&) = delete;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  void push(MergeCandidate&& candidate);
  // REQUIRES: !empty().
  MergeCandidate pop() {
    fill_heap();
    --size_;
    return heap_.pop();
  }
  // The candidate pop() would return. REQUIRES: !empty().
  const MergeCandidate& top() {
    fill_heap();
    return heap_.top();
  }
  // Gives the top candidate the count `count` and moves it to its place:
  // what popping it and pushing it back with that count does.
  // REQUIRES: !empty().
  void recount_top(uint64_t count);
  // Calls visit(pair) for a few candidates likely to be the top once the
  // current one leaves or sinks (a hint: none when they are not at hand).
  template <typename Visit>
  void visit_runners_up(Visit&& visit) {
    heap_.visit_runners_up(visit);
  }

 private:
  // Buckets hold their candidates in chunks of this many, linked newest
  // first; emptied chunks are kept for reuse. Chunks come in slabs, growing
  // to about 1 MiB, apart from the small allocations of position lists,
  // which would otherwise scatter them and keep freed memory from being
  // reused.
  static constexpr uint32_t CHUNK_ITEMS = 31;
  struct Chunk {
    Chunk* next = nullptr;
    uint32_t used = 0;
    MergeCandidate items[CHUNK_ITEMS];
  };
  static constexpr size_t SLAB_CHUNKS = 1024;  // the largest slab
  static constexpr int EXACT_BITS = 12;  // counts below 4096 have a bucket each
  static constexpr int STEPS_BITS = 4;   // sixteen buckets per doubling above
  static constexpr size_t BUCKETS =
      (size_t{1} << EXACT_BITS) + (64 - EXACT_BITS) * (size_t{1} << STEPS_BITS);

  static size_t bucket_of(uint64_t count);
  // The least count of bucket b.
  static uint64_t floor_of(size_t bucket);

  void fill_heap() {
    if (heap_.empty()) refill();
  }
  void refill();
  void park(MergeCandidate&& candidate);
  Chunk* new_chunk();

  CandidateHeap heap_;
  // Every candidate in the heap counts at least floor_, every parked one
  // less; parked candidates sit in buckets below next_bucket_.
  uint64_t floor_ = UINT64_MAX;
  size_t next_bucket_ = BUCKETS;
  std::vector<Chunk*> buckets_;
  std::vector<std::unique_ptr<Chunk[]>> slabs_;  // every chunk
  Chunk* spare_ = nullptr;  // emptied chunks, linked
  size_t size_ = 0;         // heap and buckets together
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_MERGE_QUEUE_H_
