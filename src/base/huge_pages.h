// huge_pages.h: an allocator for large arrays that are read at random.
//
// A hash index of tens of megabytes, probed at random, misses the TLB on
// almost every probe when it sits on 4 KiB pages: each lookup then pays a
// page walk on top of the cache miss. HugePageAllocator places allocations of
// 2 MiB and more on 2 MiB boundaries and asks the kernel (madvise
// MADV_HUGEPAGE) to back them with transparent huge pages, which it does even
// when huge pages are enabled only on request. Smaller allocations, and
// systems without the advice, get plain operator new memory. The advice is a
// hint: if the kernel declines, the memory is the same, only slower.
#ifndef SELKBAR_HUGE_PAGES_H_
#define SELKBAR_HUGE_PAGES_H_

#include <cstddef>

namespace selkbar {

inline constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;

// Raw storage: `bytes` bytes, released by release_huge(pointer, bytes).
// Throws std::bad_alloc when memory is exhausted.
void* allocate_huge(size_t bytes);
void release_huge(void* pointer, size_t bytes) noexcept;

// Asks the kernel to back the whole 2 MiB pages inside [pointer, pointer +
// bytes) with huge pages. For memory that is about to be written for the
// first time, such as a large buffer filled from a file: each huge page then
// costs one page fault instead of 512, which on some machines costs more than
// the writing itself. A hint, like the allocator's; memory of any alignment.
void advise_huge_pages(void* pointer, size_t bytes) noexcept;

// Hands the memory the C library holds free, in every thread's arena, back
// to the system. Threads that built large tables and freed them leave that
// memory in their own arenas, where the next phase, on another thread,
// cannot reuse it: the process would keep both. Does nothing where the C
// library offers no way to do it.
void return_free_memory() noexcept;

template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() noexcept = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) { return static_cast<T*>(allocate_huge(n * sizeof(T))); }
  void deallocate(T* pointer, size_t n) noexcept { release_huge(pointer, n * sizeof(T)); }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace selkbar

#endif  // SELKBAR_HUGE_PAGES_H_
