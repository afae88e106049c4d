#pragma once
// The tree builder: grows the fully grown gini trees of a forest fit (see
// forest.h for the settings). Internal to src/ml. Beside it: the training
// set it grows from (training_set.h), its random numbers (tree_random.h),
// its column sort (column_sort.h) and the allocator of its large arrays
// (big_allocator.h).
#include <cstdint>
#include <span>
#include <vector>

#include "ml/forest.h"
#include "ml/sparse.h"

namespace tessel::ml::detail {

// Grows one tree per seed on up to n_jobs threads; the trees do not depend
// on the number of threads. y holds each row's class index (< n_classes) and
// is released once the training set is built. X's shape is already checked;
// throws std::invalid_argument on a bad entry (column index, NaN, infinity or
// a value too large for float32).
std::vector<Tree> grow_trees(const CsrMatrix& X, std::vector<std::uint8_t> y, int n_classes,
                             std::span<const std::uint32_t> seeds, int n_jobs);

}  // namespace tessel::ml::detail
