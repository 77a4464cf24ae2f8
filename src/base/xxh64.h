// xxh64.h: the XXH64 checksum (seed 0), computed in one call or as a stream.
//
// XXH64 is a published, non-cryptographic 64-bit hash that runs at several
// gigabytes per second on one core; the counts file carries it so that a
// corrupted or truncated file is refused instead of read as other counts.
// It guards against accidents, not against someone forging a file.
//
//   Xxh64 sum;
//   sum.update(header);
//   sum.update(body);          // same result as xxh64(header + body)
//   uint64_t digest = sum.digest();
//
// The stream buffers at most 31 bytes between updates; digest() does not
// change the state, so more updates may follow.
#ifndef SELKBAR_XXH64_H_
#define SELKBAR_XXH64_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace selkbar {

class Xxh64 {
 public:
  Xxh64();
  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  uint64_t digest() const;

 private:
  uint64_t lanes_[4];
  uint64_t total_ = 0;
  uint8_t pending_[32];
  size_t pending_size_ = 0;
};

inline uint64_t xxh64(std::string_view bytes) {
  Xxh64 sum;
  sum.update(bytes);
  return sum.digest();
}

}  // namespace selkbar

#endif  // SELKBAR_XXH64_H_
