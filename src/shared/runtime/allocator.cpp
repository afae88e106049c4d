#include "shared/runtime/allocator.h"

#include <malloc.h>

#include <mutex>

namespace tessel {

void tune_allocator_for_batches() {
  static std::once_flag once;
  std::call_once(once, [] {
#ifdef M_TRIM_THRESHOLD
    // A heap is trimmed only when this much is free at its top. Setting it
    // also stops the threshold for mmap from moving, so large buffers keep
    // their own mappings instead of growing the heaps.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    // Each growth of a heap takes this much more, so growing is rare.
    mallopt(M_TOP_PAD, 16 << 20);
    // No fast bins: a thread that frees a batch made on another thread
    // would otherwise consolidate them again at nearly every larger free.
    // Small blocks freed and taken again by one thread stay quick through
    // the per-thread cache.
    mallopt(M_MXFAST, 0);
#endif
  });
}

}  // namespace tessel
