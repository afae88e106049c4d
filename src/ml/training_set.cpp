#include "ml/training_set.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "ml/column_sort.h"
#include "ml/parallel.h"

namespace tessel::ml::detail {

namespace {

// Rows are checked, hashed and compared in blocks of this many.
constexpr std::int64_t kBlock = 2048;

std::int64_t block_count(std::int64_t n_rows) { return (n_rows + kBlock - 1) / kBlock; }

struct RowHashes {
  BigVector<std::uint64_t> hash;  // row -> hash of its label and non-zero values
  bool sorted_rows = true;        // every row's column indices ascend
};

// Checks the entries and hashes each row's non-zero values, in blocks of
// rows. A block stops at its first fault; the first faulty block names the
// error.
RowHashes check_and_hash(const CsrMatrix& X, const std::vector<std::uint8_t>& y, int n_jobs) {
  const std::int64_t n_rows = X.n_rows, n_cols = X.n_cols;
  const std::int64_t n_blocks = block_count(n_rows);
  RowHashes out{BigVector<std::uint64_t>(n_rows), true};
  enum : std::uint8_t { kFine, kBadIndex, kBadValue };
  std::vector<std::uint8_t> fault(n_blocks, kFine), unsorted(n_blocks, 0);
  parallel_items(n_blocks, n_jobs, [&](std::int64_t b, int) {
    for (std::int64_t r = b * kBlock; r < std::min(n_rows, (b + 1) * kBlock); ++r) {
      std::uint64_t h = 0x9E3779B97F4A7C15ull ^ y[r];
      for (std::int64_t k = X.indptr[r]; k < X.indptr[r + 1]; ++k) {
        const std::int32_t j = X.indices[k];
        if (j < 0 || j >= n_cols) {
          fault[b] = kBadIndex;
          return;
        }
        if (k > X.indptr[r] && j <= X.indices[k - 1]) unsorted[b] = 1;
        const double d = X.data[k];
        const float f = static_cast<float>(d);
        if (!std::isfinite(d) || !std::isfinite(f)) {
          fault[b] = kBadValue;
          return;
        }
        if (f == 0.0f) continue;
        // A sum of mixed entries: no chain from entry to entry.
        std::uint64_t x =
            (static_cast<std::uint64_t>(j) << 32 | std::bit_cast<std::uint32_t>(f)) * 0xFF51AFD7ED558CCDull;
        x ^= x >> 32;
        h += x * 0xC4CEB9FE1A85EC53ull;
      }
      out.hash[r] = h;
    }
  });
  for (std::uint8_t f : fault) {
    if (f == kBadIndex) throw std::invalid_argument("column index out of range");
    if (f == kBadValue) throw std::invalid_argument("input contains NaN, infinity or a value too large for float32");
  }
  out.sorted_rows = std::find(unsorted.begin(), unsorted.end(), 1) == unsorted.end();
  return out;
}

// Rows a and b have the same label and the same non-zero float32 values.
bool same_row(const CsrMatrix& X, const std::vector<std::uint8_t>& y, std::int64_t a, std::int64_t b) {
  if (y[a] != y[b]) return false;
  std::int64_t i = X.indptr[a], j = X.indptr[b];
  const std::int64_t ie = X.indptr[a + 1], je = X.indptr[b + 1];
  while (true) {
    while (i < ie && static_cast<float>(X.data[i]) == 0.0f) ++i;
    while (j < je && static_cast<float>(X.data[j]) == 0.0f) ++j;
    if (i == ie || j == je) return i == ie && j == je;
    if (X.indices[i] != X.indices[j] || std::bit_cast<std::uint32_t>(static_cast<float>(X.data[i])) !=
                                            std::bit_cast<std::uint32_t>(static_cast<float>(X.data[j])))
      return false;
    ++i, ++j;
  }
}

// A new sample whose first row is r.
std::int32_t add_sample(Training& t, std::int64_t r, std::uint8_t label) {
  t.first.push_back(r);
  t.label.push_back(label);
  return static_cast<std::int32_t>(t.first.size() - 1);
}

// Every row joins the sample of the first row of its hash.
void group_by_hash(Training& t, const std::vector<std::uint8_t>& y, const BigVector<std::uint64_t>& hash) {
  const std::int64_t n_rows = t.n_rows;
  t.group.resize(n_rows);
  std::vector<std::uint64_t> group_hash;  // sample -> its hash
  // Open addressing: slot -> the sample of a hash, -1 when empty.
  std::size_t cap = 16;
  while (cap < static_cast<std::size_t>(n_rows) * 2) cap <<= 1;
  BigVector<std::int32_t> table(cap);
  std::fill(table.begin(), table.end(), -1);
  for (std::int64_t r = 0; r < n_rows; ++r) {
    const std::uint64_t h = hash[r];
    std::size_t i = static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> 20) & (cap - 1);
    while (table[i] >= 0 && group_hash[table[i]] != h) i = (i + 1) & (cap - 1);
    if (table[i] < 0) {
      table[i] = add_sample(t, r, y[r]);
      group_hash.push_back(h);
    }
    t.group[r] = table[i];
  }
}

// Every row is compared with the first row of its sample in parallel, and
// the rare rows that differ (hash collisions) are grouped exactly.
void split_collisions(Training& t, const CsrMatrix& X, const std::vector<std::uint8_t>& y,
                      const BigVector<std::uint64_t>& hash, int n_jobs) {
  const std::int64_t n_rows = t.n_rows;
  const std::int64_t n_blocks = block_count(n_rows);
  std::vector<std::vector<std::int64_t>> differ(n_blocks);
  parallel_items(n_blocks, n_jobs, [&](std::int64_t b, int) {
    for (std::int64_t r = b * kBlock; r < std::min(n_rows, (b + 1) * kBlock); ++r) {
      const std::int64_t f = t.first[t.group[r]];
      if (f != r && !same_row(X, y, f, r)) differ[b].push_back(r);
    }
  });
  const std::int32_t base = static_cast<std::int32_t>(t.first.size());
  std::unordered_map<std::uint64_t, std::int32_t> head;  // hash -> the latest group made here
  std::vector<std::int32_t> prev;                        // group made here (less base) -> the previous one of its hash
  for (const auto& rows : differ) {
    for (std::int64_t r : rows) {
      auto [it, fresh] = head.try_emplace(hash[r], -1);
      std::int32_t g = it->second;
      while (g >= 0 && !same_row(X, y, t.first[g], r)) g = prev[g - base];
      if (g < 0) {
        prev.push_back(it->second);
        g = it->second = add_sample(t, r, y[r]);
      }
      t.group[r] = g;
    }
  }
}

// Column form: counts, then column ranges of about equal size filled and
// sorted in parallel.
void lay_out_columns(Training& t, const CsrMatrix& X, bool sorted_rows, int n_jobs) {
  const std::int64_t n_cols = X.n_cols;
  const std::int64_t n_samples = t.n_samples();
  t.ptr.assign(n_cols + 1, 0);
  for (std::int64_t r : t.first)
    for (std::int64_t k = X.indptr[r]; k < X.indptr[r + 1]; ++k)
      if (static_cast<float>(X.data[k]) != 0.0f) ++t.ptr[X.indices[k] + 1];
  for (std::int64_t j = 0; j < n_cols; ++j) {
    t.max_col = std::max(t.max_col, t.ptr[j + 1]);
    t.ptr[j + 1] += t.ptr[j];
  }
  const std::int64_t nnz = t.ptr.back();
  t.col.resize(nnz);
  // Unsorted rows are read whole by one task.
  const int workers = resolve_jobs(n_jobs);
  const std::int64_t n_parts = sorted_rows ? std::min<std::int64_t>(n_cols, workers) : 1;
  std::vector<std::int64_t> part_col(n_parts + 1, n_cols);
  part_col[0] = 0;
  for (std::int64_t p = 1, j = 0; p < n_parts; ++p) {
    while (j < n_cols && t.ptr[j] * n_parts < nnz * p) ++j;
    part_col[p] = j;
  }
  parallel_items(n_parts, n_jobs, [&](std::int64_t p, int) {
    const std::int32_t c0 = static_cast<std::int32_t>(part_col[p]), c1 = static_cast<std::int32_t>(part_col[p + 1]);
    if (c0 >= c1) return;
    std::vector<std::int64_t> fill(t.ptr.begin() + c0, t.ptr.begin() + c1);
    for (std::int64_t g = 0; g < n_samples; ++g) {
      const std::int64_t r = t.first[g];
      const std::int32_t* idx = X.indices.data();
      std::int64_t k = X.indptr[r];
      const std::int64_t ke = X.indptr[r + 1];
      if (sorted_rows) k = std::lower_bound(idx + k, idx + ke, c0) - idx;
      for (; k < ke; ++k) {
        const std::int32_t j = idx[k];
        if (j >= c1) {
          if (sorted_rows) break;
          continue;
        }
        const float f = static_cast<float>(X.data[k]);
        if (j < c0 || f == 0.0f) continue;
        t.col[fill[j - c0]++] = (static_cast<std::uint64_t>(sort_key(f)) << 32) | static_cast<std::uint64_t>(g);
      }
    }
    std::vector<std::uint64_t> tmp;
    for (std::int32_t j = c0; j < c1; ++j)
      sort_entries(t.col.data() + t.ptr[j], static_cast<std::size_t>(t.ptr[j + 1] - t.ptr[j]), tmp);
  });
}

}  // namespace

Training prepare(const CsrMatrix& X, const std::vector<std::uint8_t>& y, int n_jobs) {
  Training t;
  t.n_rows = X.n_rows;
  RowHashes rows = check_and_hash(X, y, n_jobs);
  group_by_hash(t, y, rows.hash);
  split_collisions(t, X, y, rows.hash, n_jobs);
  BigVector<std::uint64_t>().swap(rows.hash);
  lay_out_columns(t, X, rows.sorted_rows, n_jobs);
  return t;
}

}  // namespace tessel::ml::detail
