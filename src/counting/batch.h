// batch.h: PretokenBatch, the message from one scanner to one owner.
//
// A batch holds pretokens routed to one owner, in the order the scanner found
// them: their bytes concatenated without separators, u32 end offsets starting
// with 0 (one entry more than there are pretokens), and one pretoken_hash per
// pretoken so the owner never hashes again. Each pretoken stands for one
// occurrence, except in a counted batch (push_counted), which carries a count
// per pretoken: the words a scanner counted itself (local_counts.h). A batch
// holds one kind or the other, never both. Pretoken i is
// bytes[offsets[i] .. offsets[i+1]). The byte count never exceeds 0xFFFFFFFF:
// push throws InternalError "single batch exceeds 4 GiB of pretokens" rather
// than let an offset wrap.
//
// A batch owns its arrays and is moved, never copied, through the channel.
//
// OwnerRouter picks the batch (owner) of a pretoken: owner_index(hash, owners).
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

namespace selkbar {

// owner_index(hash, owners) = (hash >> 32) % owners without a division per
// pretoken: the dividend is below 2^32 and owners below 2^32, where Lemire's
// multiply-and-shift remainder is exact ("Faster remainder by direct
// computation", 2019). With one owner the magic number wraps to 0 and every
// pretoken goes to owner 0, as it should.
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

// The batch's bytes: a growable array whose append is a room test and a
// memcpy, small enough to be inlined into every scanner loop (the reader's
// ByteBuffer does the same for chunks, through spare() and commit()). A
// std::vector's range insert is a large template that the inliner turns
// back into a call once several splitters' loops use it, some 40
// instructions per pretoken. There is always at least one spare byte, so
// the buffer exists whenever append copies (even nothing).
class BatchBytes {
 public:
  BatchBytes() = default;
  BatchBytes(const BatchBytes&) = delete;
  BatchBytes& operator=(const BatchBytes&) = delete;
  BatchBytes(BatchBytes&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  BatchBytes& operator=(BatchBytes&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  void append(const uint8_t* first, size_t n) {
    if (n >= capacity_ - size_) grow(n);
    std::memcpy(data_.get() + size_, first, n);
    size_ += n;
  }
  // Makes room for `bytes` bytes in all.
  void reserve(size_t bytes);

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_.get(); }

 private:
  // Reallocates to hold at least `extra` more bytes and a spare one.
  void grow(size_t extra);

  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class PretokenBatch {
 public:
  PretokenBatch() : offsets_{0} {}
  PretokenBatch(const PretokenBatch&) = delete;
  PretokenBatch& operator=(const PretokenBatch&) = delete;
  PretokenBatch(PretokenBatch&&) noexcept = default;
  PretokenBatch& operator=(PretokenBatch&&) noexcept = default;

  // Inlined into the scanner's per-pretoken loop: as a call, its stores to
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

  std::span<const uint8_t> bytes() const { return {bytes_.data(), bytes_.size()}; }
  const std::vector<uint32_t>& offsets() const { return offsets_; }
  const std::vector<uint64_t>& hashes() const { return hashes_; }

 private:
  static constexpr size_t MAX_BYTES = 0xFFFFFFFFULL;
  [[noreturn]] static void grow_failed();

  BatchBytes bytes_;
  std::vector<uint32_t> offsets_;
  std::vector<uint64_t> hashes_;
  std::vector<uint64_t> counts_;  // empty unless counted
};

}  // namespace selkbar

#endif  // SELKBAR_BATCH_H_
