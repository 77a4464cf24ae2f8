// pairstats.h: the pair statistics of the merge loop.
//
//   PositionList  the word indices where a pair was seen, consecutive
//                 duplicates suppressed; two entries live inline, longer
//                 lists on the heap in power-of-two capacities.
//   SparePool     emptied heap buffers by capacity, so that lists created
//                 during the merge loop reuse them instead of allocating.
//   PairCounts    Pair -> signed 64-bit count. Entries are never removed.
//   PairSteps     Pair -> (count change, PositionList), a general map for
//                 the initial count; it is drained in insertion order.
//   MergeChanges  the same for the pairs touched by one merge, without
//                 hashing: every pair a merge of (left, right) into new_id
//                 touches is (x, new_id), (new_id, x), (x, left) or
//                 (right, x), so four arrays indexed by x find its entry. It
//                 keeps its arrays between merges and is cleared by visiting
//                 only the entries used.
//   MergeQueue    a binary max-heap of MergeCandidates: larger count first,
//                 then smaller left id, then smaller right id; stored in
//                 blocks, so that growing it never copies it.
//
// The hashed maps (PairCounts, PairSteps) use open addressing with linear
// probing over a power-of-two table, keyed by FxHash over (left, right),
// left first; the bucket comes from the
// high bits of the hash, which are the well-mixed ones. A left id of
// NO_SYMBOL marks an empty slot: no pair ever holds it.
//
// Memory per pair is what bounds large runs: a PairCounts slot is 16 bytes,
// a MergeCandidate 32 bytes including a list of up to two positions, and a
// position costs 4 bytes. Out of memory surfaces as std::bad_alloc.
#ifndef SELKBAR_PAIRSTATS_H_
#define SELKBAR_PAIRSTATS_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "base/fxhash.h"
#include "training/word.h"

namespace selkbar {

inline uint64_t pair_hash(Pair pair) { return fx_add(fx_add(0, pair.left), pair.right); }

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
  void append(const PositionList& other, SparePool& pool) {
    for (uint32_t w : other) push_unique(w, pool);
  }

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
  void release() noexcept;
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

// Pair -> signed 64-bit count.
class PairCounts {
 public:
  PairCounts() = default;

  // Room for `pairs` entries without growing.
  void reserve(size_t pairs);
  // The count of `pair`, 0 if absent.
  int64_t get(Pair pair) const {
    if (!slots_) return 0;
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.key == pair) return slot.count;
      if (slot.key.left == NO_SYMBOL) return 0;
    }
  }
  // The count of `pair`, created at 0 if absent. The reference is valid
  // until the next insertion.
  int64_t& operator[](Pair pair) {
    if ((size_ + 1) * 4 > (mask_ + 1) * 3 || !slots_) grow();
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == pair) return slot.count;
      if (slot.key.left == NO_SYMBOL) {
        slot.key = pair;
        slot.count = 0;
        ++size_;
        return slot.count;
      }
    }
  }
  // Hints the cache that `pair` will be looked up soon.
  void prefetch(Pair pair) const {
    if (slots_) prefetch_read(&slots_[bucket(pair)]);
  }
  size_t size() const { return size_; }

 private:
  struct Slot {
    Pair key;
    int64_t count;
  };
  static_assert(sizeof(Slot) == 16);

  size_t bucket(Pair pair) const { return static_cast<size_t>(pair_hash(pair) >> shift_); }
  void grow();
  void rehash(size_t slot_count);

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
  int shift_ = 64;
};

// One entry of PairSteps.
struct PairStep {
  Pair pair;
  int64_t count_change;
  PositionList positions;
};

// Pair -> PairStep for the pairs touched by one step.
class PairSteps {
 public:
  PairSteps() = default;

  // The entry of `pair`, created with no change and no positions if absent.
  // The reference is valid until the next insertion.
  PairStep& operator[](Pair pair) {
    if ((used_.size() + 1) * 2 > mask_ + 1 || !slots_) grow();
    for (size_t i = bucket(pair);; i = (i + 1) & mask_) {
      PairStep& slot = slots_[i];
      if (slot.pair == pair) return slot;
      if (slot.pair.left == NO_SYMBOL) {
        used_.push_back(static_cast<uint32_t>(i));
        slot.pair = pair;
        slot.count_change = 0;
        return slot;
      }
    }
  }
  size_t size() const { return used_.size(); }
  // Hints the cache that `pair` will be looked up soon.
  void prefetch(Pair pair) const {
    if (slots_) prefetch_read(&slots_[bucket(pair)]);
  }

  // Calls visit(PairStep&) for every entry in insertion order, then empties
  // the map; the table keeps its allocation. visit may move the positions.
  template <typename Visit>
  void drain(Visit&& visit) {
    for (uint32_t slot : used_) visit(slots_[slot]);
    for (uint32_t slot : used_) {
      slots_[slot].pair.left = NO_SYMBOL;
      slots_[slot].positions = PositionList();
    }
    used_.clear();
  }

  // Calls visit(PairStep&) for every entry in insertion order.
  template <typename Visit>
  void for_each(Visit&& visit) {
    for (uint32_t slot : used_) visit(slots_[slot]);
  }
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (uint32_t slot : used_) visit(slots_[slot]);
  }

 private:
  size_t bucket(Pair pair) const { return static_cast<size_t>(pair_hash(pair) >> shift_); }
  void grow();
  void rehash(size_t slot_count);

  std::unique_ptr<PairStep[]> slots_;
  std::vector<uint32_t> used_;  // occupied slots, in insertion order
  size_t mask_ = 0;
  int shift_ = 64;
};

// Pair -> PairStep for the pairs touched by one merge of (left, right) into
// new_id, found by direct indexing instead of hashing.
class MergeChanges {
 public:
  // Starts a merge. REQUIRES: the map is empty; every id is below
  // symbol_count.
  void begin(SymbolId left, SymbolId right, SymbolId new_id, size_t symbol_count);

  // The entry of `pair`, created with no change and no positions if absent.
  // Throws InternalError for a pair this merge cannot touch. The reference
  // is valid until the next insertion.
  PairStep& operator[](Pair pair) {
    uint32_t& index = index_of(pair);
    if (index != NO_SYMBOL) return entries_[index];
    if (used_ == entries_.size()) entries_.emplace_back();
    index = static_cast<uint32_t>(used_);
    PairStep& step = entries_[used_++];
    step.pair = pair;
    step.count_change = 0;
    return step;
  }

  // Entries in insertion order; the caller may move their positions out.
  size_t size() const { return used_; }
  PairStep& entry(size_t i) { return entries_[i]; }

  // Empties the map, freeing positions left in entries; keeps the arrays.
  void clear();

 private:
  uint32_t& index_of(Pair pair) {
    // The order of the tests makes the choice a function of the pair alone,
    // so a pair reached through two forms still has one entry.
    int form;
    SymbolId key;
    if (pair.right == new_id_) {
      form = 0, key = pair.left;
    } else if (pair.left == new_id_) {
      form = 1, key = pair.right;
    } else if (pair.right == left_) {
      form = 2, key = pair.left;
    } else if (pair.left == right_) {
      form = 3, key = pair.right;
    } else {
      return unexpected_pair();
    }
    if (key >= index_[form].size()) return unexpected_pair();
    return index_[form][key];
  }
  [[noreturn]] uint32_t& unexpected_pair();

  std::vector<uint32_t> index_[4];  // per form: x -> entry index, or NO_SYMBOL
  std::vector<PairStep> entries_;   // the first used_ are live
  size_t used_ = 0;
  SymbolId left_ = NO_SYMBOL, right_ = NO_SYMBOL, new_id_ = NO_SYMBOL;
};

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

#endif  // SELKBAR_PAIRSTATS_H_
