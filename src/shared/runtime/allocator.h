#pragma once

namespace tessel {

// Tunes the C allocator for a stream of short-lived batches handed between
// threads: freed memory at the top of a heap is kept (up to a bound) rather
// than returned to the system and faulted in again by the next batch, and
// no fast bins, whose consolidation dominates freeing another thread's batch.
// Process-wide; calling it again does nothing.
void tune_allocator_for_batches();

}  // namespace tessel
