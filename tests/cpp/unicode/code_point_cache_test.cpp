// The code-point cache in front of a lookup: never a different answer, and
// stretches the lookup marks as not worth remembering are never remembered;
// the lookup with a table of the Basic Multilingual Plane answers every
// code point as the search behind it does.
#include "unicode/code_point_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace selkbar {
namespace {

int finds = 0;

// Stretches of 37 code points share an answer, except multiples of 101,
// which answer alone and are not to be remembered.
uint32_t toy_find(uint32_t cp, CodePointRange* stretch) {
  ++finds;
  if (cp % 101 == 0) {
    *stretch = {1, 0};
    return 1'000'000 + cp;
  }
  const uint32_t first = cp / 37 * 37;
  *stretch = {first, first + 36};
  // Cut back the multiples of 101 inside, as the real lookups cut back
  // White_Space code points.
  for (uint32_t m = (first + 100) / 101 * 101; m <= first + 36; m += 101) {
    if (m < cp) stretch->first = m + 1;
    if (m > cp && m <= stretch->last) stretch->last = m - 1;
  }
  return cp / 37;
}

uint32_t direct(uint32_t cp) { return cp % 101 == 0 ? 1'000'000 + cp : cp / 37; }

TEST(CodePointCache, AnswersAsTheLookupDoes) {
  std::mt19937 rng(4);
  CodePointCache<uint32_t, toy_find> cache;
  for (int i = 0; i < 200000; ++i) {
    // Mostly near the last code point, as text stays in a script.
    const uint32_t cp = 0x80 + (i % 1000 < 900 ? rng() % 400 : rng() % 0x10FF00);
    ASSERT_EQ(cache.get(cp), direct(cp)) << cp;
  }
}

TEST(CodePointCache, RemembersStretchesButNotLoneCodePoints) {
  CodePointCache<uint32_t, toy_find> cache;
  finds = 0;
  for (int round = 0; round < 3; ++round) {
    for (uint32_t cp = 370; cp < 370 + 37; ++cp) EXPECT_EQ(cache.get(cp), direct(cp));
  }
  // 370..406 holds 404 (a multiple of 101): two stretches, each found once,
  // and the lone code point asked every time.
  EXPECT_EQ(finds, 2 + 3);
}

TEST(CodePointLookup, AnswersEveryCodePointAsTheLookupDoes) {
  CodePointLookup<uint32_t, toy_find> lookup;
  for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) ASSERT_EQ(lookup.get(cp), direct(cp)) << cp;
}

}  // namespace
}  // namespace selkbar
