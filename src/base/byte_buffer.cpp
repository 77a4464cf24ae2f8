#include "base/byte_buffer.h"

namespace selkbar {

void ByteBuffer::reallocate(size_t capacity) {
  auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

void ByteBuffer::grow_for_append(size_t n) {
  // Doubling keeps appends amortised constant, as a vector's do.
  reallocate(std::max(size_ + n + 1, 2 * capacity_));
}

void ByteBuffer::drop_front(size_t n) {
  if (n != 0 && n < size_) std::memmove(data_.get(), data_.get() + n, size_ - n);
  size_ -= n;
}

}  // namespace selkbar
