#include "unicode/utf8_avx2.h"

#ifdef SELKBAR_HAVE_UTF8_AVX2

#include <immintrin.h>

// The lookup method of Keiser and Lemire ("Validating UTF-8 in less than one
// instruction per byte", 2021). Each byte is checked against the byte before
// it through three 16-entry tables, indexed by the earlier byte's high and
// low nibble and this byte's high nibble; each table entry is a set of the
// errors that nibble allows, and a byte pair is wrong when one error is in
// all three sets. The third and fourth bytes of long sequences are checked
// apart: a byte must be a continuation exactly when the lead two or three
// bytes back asks for one.
#define SELKBAR_AVX2 __attribute__((target("avx2")))

namespace selkbar {

namespace {

// The errors a pair of consecutive bytes can show, one bit each (two share
// bit 6: no pair can show both).
constexpr uint8_t TOO_SHORT = 1 << 0;       // a lead, then no continuation
constexpr uint8_t TOO_LONG = 1 << 1;        // ASCII, then a continuation
constexpr uint8_t OVERLONG_3 = 1 << 2;      // E0 80..9F
constexpr uint8_t TOO_LARGE = 1 << 3;       // F4 90..BF, F5..FF 90..BF
constexpr uint8_t SURROGATE = 1 << 4;       // ED A0..BF
constexpr uint8_t OVERLONG_2 = 1 << 5;      // C0, C1 before a continuation
constexpr uint8_t TOO_LARGE_1000 = 1 << 6;  // F5..FF 80..8F
constexpr uint8_t OVERLONG_4 = 1 << 6;      // F0 80..8F
constexpr uint8_t TWO_CONTS = 1 << 7;       // a continuation, then another
// Errors that do not depend on the earlier byte's low nibble.
constexpr uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

// A 16-entry table in both 128-bit lanes, as the byte shuffle wants it.
SELKBAR_AVX2 inline __m256i table16(const uint8_t (&t)[16]) {
  const __m128i lane = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
  return _mm256_broadcastsi128_si256(lane);
}

SELKBAR_AVX2 inline __m256i high_nibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The input shifted by N bytes, the first N taken from the end of the
// previous block.
template <int N>
SELKBAR_AVX2 inline __m256i earlier(__m256i input, __m256i previous) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

constexpr uint8_t FIRST_HIGH[16] = {
    // 0_______: ASCII
    TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG,
    // 10______: a continuation
    TWO_CONTS, TWO_CONTS, TWO_CONTS, TWO_CONTS,
    // 1100____, 1101____: a 2-byte lead
    TOO_SHORT | OVERLONG_2, TOO_SHORT,
    // 1110____: a 3-byte lead
    TOO_SHORT | OVERLONG_3 | SURROGATE,
    // 1111____: a 4-byte lead, or a byte that is never valid
    TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4};

constexpr uint8_t FIRST_LOW[16] = {
    CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4,  // ____0000
    CARRY | OVERLONG_2,                            // ____0001
    CARRY, CARRY,                                  // ____001_
    CARRY | TOO_LARGE,                             // ____0100
    CARRY | TOO_LARGE | TOO_LARGE_1000,            // ____0101
    CARRY | TOO_LARGE | TOO_LARGE_1000,            // ____011_
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,            // ____1___
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000 | SURROGATE,  // ____1101
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000};

constexpr uint8_t SECOND_HIGH[16] = {
    // 0_______: ASCII
    TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
    // 1000____
    TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4,
    // 1001____
    TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE,
    // 101_____
    TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
    TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
    // 11______: a lead
    TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT};

struct Tables {
  __m256i first_high, first_low, second_high;
};

// The errors of one block that holds some non-ASCII byte: a nonzero byte
// wherever a check fails.
SELKBAR_AVX2 inline __m256i block_errors(__m256i input, __m256i previous, const Tables& t) {
  const __m256i low_nibble_mask = _mm256_set1_epi8(0x0F);
  const __m256i prev1 = earlier<1>(input, previous);
  const __m256i pair_errors = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(t.first_high, high_nibbles(prev1)),
                       _mm256_shuffle_epi8(t.first_low, _mm256_and_si256(prev1, low_nibble_mask))),
      _mm256_shuffle_epi8(t.second_high, high_nibbles(input)));
  // Two bytes after a 3- or 4-byte lead, or three after a 4-byte lead, must
  // come continuations; the subtractions leave the top bit set exactly for
  // those leads. The pair tables already flag a continuation after a
  // continuation (TWO_CONTS) wherever it is not asked for, so the two must
  // agree.
  const __m256i third = _mm256_subs_epu8(earlier<2>(input, previous), _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth =
      _mm256_subs_epu8(earlier<3>(input, previous), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, pair_errors);
}

// Nonzero where the block's last bytes start a sequence that needs more
// bytes than the block has left.
SELKBAR_AVX2 inline __m256i incomplete_end(__m256i input) {
  const __m256i limits = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
      static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(input, limits);
}

}  // namespace

SELKBAR_AVX2 size_t valid_utf8_prefix_avx2(const uint8_t* data, size_t size) {
  const Tables tables{table16(FIRST_HIGH), table16(FIRST_LOW), table16(SECOND_HIGH)};
  __m256i previous = _mm256_setzero_si256();  // as if ASCII came before
  __m256i pending = _mm256_setzero_si256();   // the previous block's incomplete end
  __m256i errors = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    if (_mm256_movemask_epi8(input) == 0) {
      // An ASCII block cannot finish what the last block started.
      errors = _mm256_or_si256(errors, pending);
      pending = _mm256_setzero_si256();
    } else {
      errors = _mm256_or_si256(errors, block_errors(input, previous, tables));
      pending = incomplete_end(input);
    }
    previous = input;
  }
  if (!_mm256_testz_si256(errors, errors)) return UTF8_AVX2_REFUSED;
  // The blocks are consistent up to i, but a lead among their last three
  // bytes may need bytes beyond it: start the rest of the check there. A
  // character that ends before i is checked again, which is harmless.
  size_t rest = i;
  for (size_t back = 1; back <= 3 && back <= i; ++back) {
    const uint8_t byte = data[i - back];
    if (byte >= 0xC0) {
      rest = i - back;
      break;
    }
    if (byte < 0x80) break;
  }
  return rest;
}

bool cpu_has_avx2() {
  // GCC's and Clang's test also asks the operating system whether it saves
  // the vector registers.
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

}  // namespace selkbar

#endif  // SELKBAR_HAVE_UTF8_AVX2
