// batch.h: PretokenBatch, the pretokens of one partition that a counting
// worker collects before counting them in one pass (ShardCounter::add_batch,
// which overlaps the cache misses of many pretokens).
//
// A batch holds pretokens of one partition, in the order the worker found
// them: their bytes concatenated without separators, u32 end offsets starting
// with 0 (one entry more than there are pretokens), and one pretoken_hash per
// pretoken so the counter never hashes again. Each pretoken stands for one
// occurrence, except in a counted batch (push_counted), which carries a count
// per pretoken: the words a worker counted in its small table first
// (local_counts.h). A batch holds one kind or the other, never both.
// Pretoken i is bytes[offsets[i] .. offsets[i+1]). The byte count never exceeds 0xFFFFFFFF:
// push throws InternalError "single batch exceeds 4 GiB of pretokens" rather
// than let an offset wrap.
//
// A batch owns its arrays; it is moved, never copied, and cleared for reuse.
//
// OwnerRouter picks the partition of a pretoken: owner_index(hash, owners).
#ifndef SELKBAR_BATCH_H_
#define SELKBAR_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/byte_buffer.h"

namespace selkbar {

// owner_index(hash, owners) = (hash >> 32) % owners without a division per
// pretoken: the dividend is below 2^32 and owners below 2^32, where Lemire's
// multiply-and-shift remainder is exact ("Faster remainder by direct
// computation", 2019). With one partition the magic number wraps to 0 and
// every pretoken goes to partition 0, as it should.
class OwnerRouter {
 public:
  // REQUIRES: 1 <= owners < 2^32.
  explicit OwnerRouter(uint64_t owners) : owners_(owners), magic_(UINT64_MAX / owners + 1) {}

  size_t operator()(uint64_t hash) const {
    const uint64_t fraction = magic_ * (hash >> 32);
    return static_cast<size_t>((static_cast<unsigned __int128>(fraction) * owners_) >> 64);
  }

 private:
  uint64_t owners_;
  uint64_t magic_;
};

class PretokenBatch {
 public:
  PretokenBatch() : offsets_{0} {}
  PretokenBatch(const PretokenBatch&) = delete;
  PretokenBatch& operator=(const PretokenBatch&) = delete;
  PretokenBatch(PretokenBatch&&) noexcept = default;
  PretokenBatch& operator=(PretokenBatch&&) noexcept = default;

  // Inlined into the worker's per-pretoken loop: as a call, its stores to
  // the vectors' ends were read straight back by the caller's size check,
  // which stalled on store forwarding for every pretoken.
  [[gnu::always_inline]] void push(std::string_view pretoken, uint64_t hash) {
    // Checked before appending, so an oversized batch is refused without
    // first allocating past 4 GiB.
    if (pretoken.size() > MAX_BYTES - bytes_.size()) grow_failed();
    bytes_.append(reinterpret_cast<const uint8_t*>(pretoken.data()), pretoken.size());
    offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
    hashes_.push_back(hash);
  }
  // The same for a word seen `count` times. REQUIRES: every push into this
  // batch is push_counted.
  void push_counted(std::string_view word, uint64_t hash, uint64_t count) {
    push(word, hash);
    counts_.push_back(count);
  }

  size_t len() const { return hashes_.size(); }
  size_t byte_size() const { return bytes_.size(); }
  std::string_view pretoken(size_t i) const {
    return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + offsets_[i],
                            offsets_[i + 1] - offsets_[i]);
  }
  uint64_t hash(size_t i) const { return hashes_[i]; }
  bool counted() const { return !counts_.empty(); }
  // REQUIRES: counted().
  uint64_t count(size_t i) const { return counts_[i]; }

  // Reserves room for `pretokens` pretokens holding `bytes` bytes in total.
  void reserve(size_t pretokens, size_t bytes);
  // Empties the batch and keeps its memory for the next pretokens.
  void clear();

  std::span<const uint8_t> bytes() const { return {bytes_.data(), bytes_.size()}; }
  const std::vector<uint32_t>& offsets() const { return offsets_; }
  const std::vector<uint64_t>& hashes() const { return hashes_; }

 private:
  static constexpr size_t MAX_BYTES = 0xFFFFFFFFULL;
  [[noreturn]] static void grow_failed();

  ByteBuffer bytes_;  // its append inlines into the workers' loops
  std::vector<uint32_t> offsets_;
  std::vector<uint64_t> hashes_;
  std::vector<uint64_t> counts_;  // empty unless counted
};

}  // namespace selkbar

#endif  // SELKBAR_BATCH_H_
