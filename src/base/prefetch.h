// prefetch.h: a software prefetch that the compiler keeps.
#ifndef SELKBAR_PREFETCH_H_
#define SELKBAR_PREFETCH_H_

namespace selkbar {

// Asks the cache for the line holding `address`. GCC 12 silently drops
// __builtin_prefetch when the address takes a few arithmetic steps or loads
// to compute (a hashed bucket, a word's start), which are exactly the
// prefetches worth having, so on x86 the instruction is written out.
inline void prefetch_read(const void* address) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __asm__("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

}  // namespace selkbar

#endif  // SELKBAR_PREFETCH_H_
