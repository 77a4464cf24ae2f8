// The growable byte buffer: against std::string over random operations, and
// what reserving and moving promise.
#include "base/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace selkbar {
namespace {

TEST(ByteBuffer, MatchesAStringThroughRandomEdits) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    ByteBuffer buffer;
    std::string model;
    for (int step = 0; step < 60; ++step) {
      const size_t n = rng() % 300;
      std::string bytes(n, '\0');
      for (char& c : bytes) c = static_cast<char>(rng());
      switch (rng() % 6) {
        case 0:
        case 1:
          buffer.append(reinterpret_cast<const uint8_t*>(bytes.data()), n);
          model += bytes;
          break;
        case 2: {  // written in place
          buffer.reserve_more(n);
          ASSERT_GE(buffer.capacity() - buffer.size(), n);
          std::memcpy(buffer.spare(), bytes.data(), n);
          buffer.commit(n);
          model += bytes;
          break;
        }
        case 3: {
          const size_t keep = model.empty() ? 0 : rng() % (model.size() + 1);
          buffer.truncate(keep);
          model.resize(keep);
          break;
        }
        case 4: {
          const size_t drop = model.empty() ? 0 : rng() % (model.size() + 1);
          buffer.drop_front(drop);
          model.erase(0, drop);
          break;
        }
        case 5: {
          ByteBuffer moved = std::move(buffer);
          buffer = std::move(moved);
          break;
        }
      }
      ASSERT_EQ(buffer.view(), model) << "round " << round << " step " << step;
      ASSERT_GE(buffer.capacity(), buffer.size());
    }
  }
}

TEST(ByteBuffer, ReservedRoomIsKeptAndAMovedFromBufferIsEmptyAndUsable) {
  ByteBuffer buffer;
  buffer.reserve(100);
  const uint8_t* const before = buffer.data();
  const std::string text(100, 'q');
  buffer.append(reinterpret_cast<const uint8_t*>(text.data()), 99);
  EXPECT_EQ(buffer.data(), before);  // no reallocation within the reserve
  ByteBuffer other = std::move(buffer);
  EXPECT_EQ(other.size(), 99u);
  EXPECT_EQ(buffer.size(), 0u);  // NOLINT(bugprone-use-after-move)
  buffer.append(reinterpret_cast<const uint8_t*>(text.data()), 0);
  buffer.append(reinterpret_cast<const uint8_t*>("xy"), 2);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size()), "xy");
}

}  // namespace
}  // namespace selkbar
