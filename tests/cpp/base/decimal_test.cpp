// Decimal parsing of the numbers read from the environment.
#include "base/decimal.h"

#include <gtest/gtest.h>

namespace selkbar {
namespace {

TEST(ParseDecimal, AcceptsOnlyPlainUnsigned) {
  EXPECT_EQ(parse_u64_decimal("+1048576"), 1048576u);
  EXPECT_EQ(parse_u64_decimal("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", "-5", "abc", " 1", "1 ", "18446744073709551616", "1.0", "++1"}) {
    EXPECT_FALSE(parse_u64_decimal(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace selkbar
