#pragma once
// Compressed sparse row matrix: the vectoriser's output and the forest's input.
#include <cstdint>
#include <vector>

namespace tessel::ml {

struct CsrMatrix {
  std::int64_t n_rows = 0;
  std::int64_t n_cols = 0;
  // Row r holds entries indptr[r] .. indptr[r+1]-1, column indices ascending.
  std::vector<std::int64_t> indptr{0};
  std::vector<std::int32_t> indices;
  std::vector<double> data;

  std::int64_t nnz() const { return static_cast<std::int64_t>(indices.size()); }
};

}  // namespace tessel::ml
