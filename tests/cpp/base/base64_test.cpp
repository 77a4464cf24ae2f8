// base64: the RFC 4648 vectors, and random byte strings of every length
// remainder against a bit-by-bit encoder.
#include "base/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace selkbar {
namespace {

std::string encoded(std::string_view bytes) {
  std::string out;
  append_base64(bytes, out);
  return out;
}

// Writes out every bit, then reads six at a time: slow and plainly right.
std::string naive_base64(std::string_view bytes) {
  static const std::string DIGITS =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bits;
  for (unsigned char byte : bytes) {
    for (int b = 7; b >= 0; --b) bits += (byte >> b & 1) ? '1' : '0';
  }
  while (bits.size() % 6 != 0) bits += '0';
  std::string out;
  for (size_t i = 0; i < bits.size(); i += 6) out += DIGITS[std::stoi(bits.substr(i, 6), nullptr, 2)];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

TEST(Base64, RfcVectors) {
  EXPECT_EQ(encoded(""), "");
  EXPECT_EQ(encoded("f"), "Zg==");
  EXPECT_EQ(encoded("fo"), "Zm8=");
  EXPECT_EQ(encoded("foo"), "Zm9v");
  EXPECT_EQ(encoded("foob"), "Zm9vYg==");
  EXPECT_EQ(encoded("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encoded("foobar"), "Zm9vYmFy");
}

TEST(Base64, AppendsAndMatchesABitByBitEncoder) {
  std::mt19937 random(7);
  for (int length = 0; length < 40; ++length) {
    std::string bytes;
    for (int i = 0; i < length; ++i) bytes += static_cast<char>(random() & 0xFF);
    std::string out = "x ";
    append_base64(bytes, out);
    EXPECT_EQ(out, "x " + naive_base64(bytes)) << length;
  }
  EXPECT_EQ(encoded(std::string("\xFF\xFE\x00", 3)), "//4A");
}

}  // namespace
}  // namespace selkbar
