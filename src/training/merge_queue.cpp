#include "training/merge_queue.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

namespace selkbar {

void CandidateHeap::push(MergeCandidate&& candidate) {
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

void CandidateHeap::sift_down(size_t hole, MergeCandidate&& moving) {
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

MergeCandidate CandidateHeap::pop() {
  MergeCandidate top = std::move(at(0));
  MergeCandidate last = std::move(at(--size_));
  // One spare block stays, so that a queue shrinking and growing across a
  // block boundary does not allocate each time.
  if (blocks_.size() * BLOCK_SIZE >= size_ + SHIFT + 2 * BLOCK_SIZE) blocks_.pop_back();
  if (size_ != 0) sift_down(0, std::move(last));
  return top;
}

void CandidateHeap::recount_top(uint64_t count) {
  MergeCandidate top = std::move(at(0));
  top.count = count;
  sift_down(0, std::move(top));
}

MergeQueue::MergeQueue() : buckets_(BUCKETS, nullptr) {}

size_t MergeQueue::bucket_of(uint64_t count) {
  if (count < (uint64_t{1} << EXACT_BITS)) return static_cast<size_t>(count);
  const int octave = 63 - std::countl_zero(count);  // EXACT_BITS or more
  const uint64_t step = (count >> (octave - STEPS_BITS)) & ((uint64_t{1} << STEPS_BITS) - 1);
  return (size_t{1} << EXACT_BITS) + static_cast<size_t>(octave - EXACT_BITS) * (size_t{1} << STEPS_BITS) +
         static_cast<size_t>(step);
}

uint64_t MergeQueue::floor_of(size_t bucket) {
  if (bucket < (size_t{1} << EXACT_BITS)) return bucket;
  const size_t above = bucket - (size_t{1} << EXACT_BITS);
  const int octave = static_cast<int>(above >> STEPS_BITS) + EXACT_BITS;
  const uint64_t step = above & ((size_t{1} << STEPS_BITS) - 1);
  return ((uint64_t{1} << STEPS_BITS) | step) << (octave - STEPS_BITS);
}

MergeQueue::Chunk* MergeQueue::new_chunk() {
  if (spare_ == nullptr) {
    // Slabs double up to full size, so that a small training holds little.
    const size_t chunks = std::min(SLAB_CHUNKS, size_t{8} << std::min<size_t>(slabs_.size(), 16));
    slabs_.push_back(std::make_unique<Chunk[]>(chunks));
    Chunk* slab = slabs_.back().get();
    for (size_t i = 0; i < chunks; ++i) {
      slab[i].next = spare_;
      spare_ = &slab[i];
    }
  }
  Chunk* chunk = spare_;
  spare_ = chunk->next;
  return chunk;
}

void MergeQueue::park(MergeCandidate&& candidate) {
  Chunk*& head = buckets_[bucket_of(candidate.count)];
  if (head == nullptr || head->used == CHUNK_ITEMS) {
    Chunk* chunk = new_chunk();
    chunk->next = head;
    chunk->used = 0;
    head = chunk;
  }
  head->items[head->used++] = std::move(candidate);
}

void MergeQueue::push(MergeCandidate&& candidate) {
  if (candidate.count >= floor_) {
    heap_.push(std::move(candidate));
  } else {
    park(std::move(candidate));
  }
  ++size_;
}

void MergeQueue::recount_top(uint64_t count) {
  fill_heap();
  if (count >= floor_) {
    heap_.recount_top(count);
    return;
  }
  MergeCandidate top = heap_.pop();
  top.count = count;
  park(std::move(top));
}

void MergeQueue::refill() {
  // Parked candidates all count less than floor_, so the highest non-empty
  // bucket holds the next ones; buckets above next_bucket_ are empty.
  while (next_bucket_ > 0) {
    const size_t bucket = --next_bucket_;
    Chunk* head = buckets_[bucket];
    if (head == nullptr) continue;
    buckets_[bucket] = nullptr;
    floor_ = floor_of(bucket);
    while (head != nullptr) {
      for (uint32_t i = 0; i < head->used; ++i) heap_.push(std::move(head->items[i]));
      Chunk* next = head->next;
      head->next = spare_;
      spare_ = head;
      head = next;
    }
    return;
  }
}

}  // namespace selkbar
