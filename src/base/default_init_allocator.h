// default_init_allocator.h: a vector allocator whose resize leaves new
// elements of a trivial type unwritten.
//
//   std::vector<uint32_t, DefaultInitAllocator<uint32_t>> cells;
//   cells.resize(n);  // no pass over the memory: its first write is the caller's
//
// For arrays of hundreds of megabytes that threads then fill in parts: a
// value-initialising resize would touch every page first, on one thread.
#ifndef SELKBAR_DEFAULT_INIT_ALLOCATOR_H_
#define SELKBAR_DEFAULT_INIT_ALLOCATOR_H_

#include <memory>
#include <new>
#include <utility>

namespace selkbar {

template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };

  DefaultInitAllocator() noexcept = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  // Default-initialises (for a trivial type: leaves as it is) what a
  // resize without a value creates; everything else is constructed as usual.
  template <typename U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    std::construct_at(p, std::forward<Args>(args)...);
  }
};

}  // namespace selkbar

#endif  // SELKBAR_DEFAULT_INIT_ALLOCATOR_H_
