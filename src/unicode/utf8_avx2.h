// utf8_avx2.h: the bulk of UTF-8 validation, 32 bytes per step with AVX2.
//
// It only answers whether the text is valid; utf8.cpp runs the portable
// scan over what it leaves and, after a refusal, over the whole text to say
// where the first error is. Built only for x86-64 with GCC or Clang; the
// caller checks at run time that the CPU has AVX2.
#ifndef SELKBAR_UTF8_AVX2_H_
#define SELKBAR_UTF8_AVX2_H_

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SELKBAR_HAVE_UTF8_AVX2 1
#endif

namespace selkbar {

#ifdef SELKBAR_HAVE_UTF8_AVX2

inline constexpr size_t UTF8_AVX2_REFUSED = SIZE_MAX;

// Checks data[0, size) in whole 32-byte blocks. Returns UTF8_AVX2_REFUSED
// when they hold an invalid sequence; otherwise an index b, at most size,
// such that data[0, b) is valid UTF-8 and b starts a character: the
// characters that run past the last whole block, and anything after it, are
// left for the caller to check from b.
// REQUIRES: the CPU has AVX2 (cpu_has_avx2()).
size_t valid_utf8_prefix_avx2(const uint8_t* data, size_t size);

// Whether this CPU, and the operating system, support AVX2.
bool cpu_has_avx2();

#endif

}  // namespace selkbar

#endif  // SELKBAR_UTF8_AVX2_H_
