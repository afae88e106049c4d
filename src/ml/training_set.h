#pragma once
// The training set of the tree builder: equal rows merged into samples, the
// samples in column form. Internal to src/ml.
#include <cstdint>
#include <vector>

#include "ml/big_allocator.h"
#include "ml/sparse.h"

namespace tessel::ml::detail {

// Training rows that are equal (same label, same float32 values) act as one
// sample whose weight is the sum of their bootstrap counts: every split
// depends only on values and exactly summed whole-number weights, and a node
// of such a sample alone is pure, so the trees do not change.
struct Training {
  std::int64_t n_rows = 0;          // rows of the input
  BigVector<std::int32_t> group;    // row -> sample
  std::vector<std::uint8_t> label;  // sample -> class index
  std::vector<std::int64_t> first;  // sample -> its first row in the input
  // Samples in column form, zeros dropped, each column in value order:
  // sort_key(value) << 32 | sample.
  std::vector<std::int64_t> ptr;
  BigVector<std::uint64_t> col;
  std::int64_t max_col = 0;  // entries of the longest column
  std::int64_t n_samples() const { return static_cast<std::int64_t>(label.size()); }
};

// The training set of X and its labels y, built on up to n_jobs threads.
// Throws std::invalid_argument on a column index out of range, NaN,
// infinity or a value too large for float32.
Training prepare(const CsrMatrix& X, const std::vector<std::uint8_t>& y, int n_jobs);

}  // namespace tessel::ml::detail
