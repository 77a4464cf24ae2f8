#include "base/huge_pages.h"

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdint>
#include <new>

namespace selkbar {

namespace {

bool wants_huge_pages(size_t bytes) { return bytes >= HUGE_PAGE_BYTES; }

size_t round_to_huge_pages(size_t bytes) {
  return (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
}

}  // namespace

void* allocate_huge(size_t bytes) {
  if (!wants_huge_pages(bytes)) return ::operator new(bytes);
  void* pointer = ::operator new(round_to_huge_pages(bytes), std::align_val_t{HUGE_PAGE_BYTES});
#ifdef MADV_HUGEPAGE
  // Before the first touch, so the pages are huge from the first fault on.
  madvise(pointer, round_to_huge_pages(bytes), MADV_HUGEPAGE);
#endif
  return pointer;
}

void advise_huge_pages(void* pointer, size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<uintptr_t>(pointer);
  const uintptr_t first = (start + HUGE_PAGE_BYTES - 1) & ~uintptr_t{HUGE_PAGE_BYTES - 1};
  const uintptr_t end = (start + bytes) & ~uintptr_t{HUGE_PAGE_BYTES - 1};
  if (pointer != nullptr && first < end) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#else
  (void)pointer;
  (void)bytes;
#endif
}

void release_huge(void* pointer, size_t bytes) noexcept {
  if (!wants_huge_pages(bytes)) {
    ::operator delete(pointer);
    return;
  }
  ::operator delete(pointer, std::align_val_t{HUGE_PAGE_BYTES});
}

void return_free_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace selkbar
