// byte_buffer.h: the growable byte array of phase 1 (reader chunks, fed
// texts, the bytes of pretoken batches).
//
// Unlike a std::vector<uint8_t> it leaves reserved bytes uninitialised (a
// reader fills megabytes at a time; zeroing them first would double the
// writes), and its append is a room test and a memcpy, small enough to be
// inlined into every worker's split loop: a vector's range insert is a large
// template that the inliner turns back into a call once several splitters'
// loops use it, some 40 instructions per pretoken.
//
// Bytes are written either by append() or in place: reserve_more(n), write
// at most n bytes at spare(), then commit() them. Growth at least doubles the
// capacity, so a buffer that keeps growing costs amortised linear copying.
// Moved-from buffers are empty and usable. Out of memory throws
// std::bad_alloc and leaves the buffer as it was.
#ifndef SELKBAR_BASE_BYTE_BUFFER_H_
#define SELKBAR_BASE_BYTE_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace selkbar {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    ByteBuffer(std::move(other)).swap(*this);
    return *this;
  }

  const uint8_t* data() const { return data_.get(); }
  uint8_t* data() { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const {
    return std::string_view(reinterpret_cast<const char*>(data_.get()), size_);
  }

  // Appends n bytes. Growth keeps one spare byte, so that the array exists
  // whenever memcpy runs, even for n == 0.
  void append(const uint8_t* first, size_t n) {
    if (n >= capacity_ - size_) grow_for_append(n);
    std::memcpy(data_.get() + size_, first, n);
    size_ += n;
  }
  // Makes room for `bytes` bytes in all.
  void reserve(size_t bytes) {
    if (bytes >= capacity_) reallocate(std::max(bytes + 1, 2 * capacity_));
  }

  // Makes room for `more` bytes after size().
  void reserve_more(size_t more) {
    if (capacity_ - size_ < more) reallocate(std::max(size_ + more, 2 * capacity_));
  }
  // Spare room after size(); `commit(n)` adds n bytes written there.
  uint8_t* spare() { return data_.get() + size_; }
  // REQUIRES: n <= capacity() - size().
  void commit(size_t n) { size_ += n; }
  // REQUIRES: n <= size().
  void truncate(size_t n) { size_ = n; }
  // Drops the first n bytes. REQUIRES: n <= size().
  void drop_front(size_t n);
  void clear() { size_ = 0; }

  void swap(ByteBuffer& other) noexcept {
    data_.swap(other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  // Reallocates to hold at least n more bytes and a spare one. Out of line,
  // so that append stays small enough to inline.
  void grow_for_append(size_t n);
  // Moves the bytes to a new array of `capacity` bytes.
  // REQUIRES: capacity >= size().
  void reallocate(size_t capacity);

  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace selkbar

#endif  // SELKBAR_BASE_BYTE_BUFFER_H_
