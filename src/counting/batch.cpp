#include "counting/batch.h"

#include <algorithm>

#include "base/error.h"

namespace selkbar {

void BatchBytes::reserve(size_t bytes) {
  if (bytes >= capacity_) grow(bytes - size_);
}

void BatchBytes::grow(size_t extra) {
  // Doubling keeps appends amortized constant, as a vector's do.
  const size_t capacity = std::max(size_ + extra + 1, 2 * capacity_);
  auto data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  if (size_ != 0) std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void PretokenBatch::grow_failed() { throw InternalError("single batch exceeds 4 GiB of pretokens"); }

void PretokenBatch::reserve(size_t pretokens, size_t bytes) {
  bytes_.reserve(bytes);
  offsets_.reserve(pretokens + 1);
  hashes_.reserve(pretokens);
}

}  // namespace selkbar
