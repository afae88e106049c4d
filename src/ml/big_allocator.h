#pragma once
// The allocator of the tree builder's large training arrays. Internal to
// src/ml.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace tessel::ml::detail {

// Allocator of the large training arrays: elements are left uninitialised
// and arrays of 2 MiB or more are mapped on their own with huge pages
// requested, since the page faults of a first fill dominate otherwise (above
// all on virtual machines).
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

template <class T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) {}

  static std::size_t mapped_size(std::size_t n) { return (n * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage; }

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) / 2) throw std::bad_alloc();
    if (n * sizeof(T) < kHugePage) return static_cast<T*>(::operator new(n * sizeof(T)));
    // Map one huge page more than needed and cut it down to an aligned run.
    const std::size_t size = mapped_size(n);
    void* p = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (base + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > base) munmap(p, aligned - base);
    munmap(reinterpret_cast<void*>(aligned + size), base + kHugePage - aligned);
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<T*>(aligned);
  }
  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kHugePage)
      ::operator delete(p);
    else
      munmap(p, mapped_size(n));
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const BigAllocator&, const BigAllocator&) { return true; }
};
template <class T>
using BigVector = std::vector<T, BigAllocator<T>>;

}  // namespace tessel::ml::detail
