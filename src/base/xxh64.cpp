#include "base/xxh64.h"

#include <bit>
#include <cstring>

#include "base/unaligned.h"

namespace selkbar {

namespace {

constexpr uint64_t PRIME1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t PRIME2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t PRIME3 = 0x165667B19E3779F9ULL;
constexpr uint64_t PRIME4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t PRIME5 = 0x27D4EB2F165667C5ULL;

static_assert(std::endian::native == std::endian::little,
              "the checksum reads little-endian words directly");

inline uint64_t round(uint64_t lane, uint64_t input) {
  lane += input * PRIME2;
  lane = std::rotl(lane, 31);
  return lane * PRIME1;
}

inline uint64_t merge_lane(uint64_t hash, uint64_t lane) {
  hash ^= round(0, lane);
  return hash * PRIME1 + PRIME4;
}

// Consumes whole 32-byte stripes; returns the bytes consumed.
size_t consume_stripes(uint64_t lanes[4], const uint8_t* p, size_t size) {
  const uint8_t* const start = p;
  uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
  while (size >= 32) {
    a = round(a, load64(p));
    b = round(b, load64(p + 8));
    c = round(c, load64(p + 16));
    d = round(d, load64(p + 24));
    p += 32;
    size -= 32;
  }
  lanes[0] = a, lanes[1] = b, lanes[2] = c, lanes[3] = d;
  return static_cast<size_t>(p - start);
}

}  // namespace

Xxh64::Xxh64() : lanes_{PRIME1 + PRIME2, PRIME2, 0, 0 - PRIME1} {}

void Xxh64::update(const void* data, size_t size) {
  if (size == 0) return;  // `data` may be null then
  const auto* p = static_cast<const uint8_t*>(data);
  total_ += size;
  if (pending_size_ > 0) {
    const size_t take = size < 32 - pending_size_ ? size : 32 - pending_size_;
    std::memcpy(pending_ + pending_size_, p, take);
    pending_size_ += take;
    p += take;
    size -= take;
    if (pending_size_ < 32) return;
    consume_stripes(lanes_, pending_, 32);
    pending_size_ = 0;
  }
  const size_t consumed = consume_stripes(lanes_, p, size);
  std::memcpy(pending_, p + consumed, size - consumed);
  pending_size_ = size - consumed;
}

uint64_t Xxh64::digest() const {
  uint64_t hash;
  if (total_ >= 32) {
    hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
           std::rotl(lanes_[3], 18);
    for (uint64_t lane : lanes_) hash = merge_lane(hash, lane);
  } else {
    hash = PRIME5;  // seed 0
  }
  hash += total_;
  const uint8_t* p = pending_;
  size_t size = pending_size_;
  while (size >= 8) {
    hash ^= round(0, load64(p));
    hash = std::rotl(hash, 27) * PRIME1 + PRIME4;
    p += 8;
    size -= 8;
  }
  if (size >= 4) {
    hash ^= uint64_t{load32(p)} * PRIME1;
    hash = std::rotl(hash, 23) * PRIME2 + PRIME3;
    p += 4;
    size -= 4;
  }
  while (size > 0) {
    hash ^= *p * PRIME5;
    hash = std::rotl(hash, 11) * PRIME1;
    ++p;
    --size;
  }
  hash ^= hash >> 33;
  hash *= PRIME2;
  hash ^= hash >> 29;
  hash *= PRIME3;
  hash ^= hash >> 32;
  return hash;
}

}  // namespace selkbar
