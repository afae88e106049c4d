#include "ml/tree_builder.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <unordered_map>

#include <sys/mman.h>

#include "ml/parallel.h"

namespace tessel::ml::detail {

std::uint32_t masked_draw(std::mt19937& mt, std::uint32_t rng) {
  if (rng == 0) return 0;
  std::uint32_t mask = rng;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  std::uint32_t v;
  while ((v = static_cast<std::uint32_t>(mt()) & mask) > rng) {
  }
  return v;
}

namespace {

constexpr float kFeatureThreshold = 1e-7f;
constexpr double kEpsilon = DBL_EPSILON;
constexpr std::uint32_t kRandRMax = 0x7FFFFFFF;
constexpr int kMaxClasses = RandomForestClassifier::kMaxClasses;

// xorshift generator of the tree splitter.
inline std::uint32_t rand_r(std::uint32_t& s) {
  if (s == 0) s = 1;
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s % (kRandRMax + 1u);
}
inline std::int64_t rand_int(std::int64_t low, std::int64_t high, std::uint32_t& s) {
  return low + static_cast<std::int64_t>(rand_r(s)) % (high - low);
}

// Order-preserving map of a float to uint32 (negative < 0 < positive).
inline std::uint32_t sort_key(float v) {
  std::uint32_t b = std::bit_cast<std::uint32_t>(v);
  return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}
inline float key_value(std::uint32_t k) {
  std::uint32_t b = (k & 0x80000000u) ? (k & 0x7FFFFFFFu) : ~k;
  return std::bit_cast<float>(b);
}
constexpr std::uint32_t kZeroKey = 0x80000000u;

// Sorts by the upper 32 bits (the value key); equal keys in any order.
void sort_entries(std::uint64_t* a, std::size_t n, std::vector<std::uint64_t>& tmp) {
  if (n < 384) {
    if (n <= 24) {
      for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t v = a[i];
        std::size_t j = i;
        for (; j > 0 && (a[j - 1] >> 32) > (v >> 32); --j) a[j] = a[j - 1];
        a[j] = v;
      }
    } else {
      std::sort(a, a + n);
    }
    return;
  }
  if (tmp.size() < n) tmp.resize(n);
  std::uint64_t* src = a;
  std::uint64_t* dst = tmp.data();
  for (int shift = 32; shift < 64; shift += 8) {
    std::size_t count[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[(src[i] >> shift) & 0xFF];
    if (count[(src[0] >> shift) & 0xFF] == n) continue;
    std::size_t sum = 0;
    for (auto& c : count) {
      std::size_t t = c;
      c = sum;
      sum += t;
    }
    for (std::size_t i = 0; i < n; ++i) dst[count[(src[i] >> shift) & 0xFF]++] = src[i];
    std::swap(src, dst);
  }
  if (src != a) std::memcpy(a, src, n * sizeof(std::uint64_t));
}

constexpr std::uint64_t kKeyMask = 0xFFFFFFFF00000000ull;

// Allocator of the large training arrays: elements are left uninitialised
// and arrays of 2 MiB or more are mapped on their own with huge pages
// requested, since the page faults of a first fill dominate otherwise (above
// all on virtual machines).
constexpr std::size_t kHugePage = std::size_t{2} << 20;

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

// Training rows that are equal (same label, same float32 values) act as one
// sample whose weight is the sum of their bootstrap counts: every split
// depends only on values and exactly summed whole-number weights, and a node
// of such a sample alone is pure, so the trees do not change.
struct Training {
  std::int64_t n_rows = 0;            // rows of the input
  BigVector<std::int32_t> group;      // row -> sample
  std::vector<std::uint8_t> label;    // sample -> class index
  std::vector<std::int64_t> first;    // sample -> its first row in the input
  // Samples in column form, zeros dropped, each column in value order:
  // sort_key(value) << 32 | sample.
  std::vector<std::int64_t> ptr;
  BigVector<std::uint64_t> col;
  std::int64_t max_col = 0;           // entries of the longest column
  std::int64_t n_samples() const { return static_cast<std::int64_t>(label.size()); }
};

Training prepare(const CsrMatrix& X, const std::vector<std::uint8_t>& y, int n_jobs) {
  Training t;
  const std::int64_t n_rows = X.n_rows, n_cols = X.n_cols;
  t.n_rows = n_rows;
  // Check the entries and hash each row's non-zero values, in blocks of rows.
  // A block stops at its first fault; the first faulty block names the error.
  constexpr std::int64_t kBlock = 2048;
  const std::int64_t n_blocks = (n_rows + kBlock - 1) / kBlock;
  BigVector<std::uint64_t> hash(n_rows);
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
        std::uint64_t x = (static_cast<std::uint64_t>(j) << 32 | std::bit_cast<std::uint32_t>(f)) * 0xFF51AFD7ED558CCDull;
        x ^= x >> 32;
        h += x * 0xC4CEB9FE1A85EC53ull;
      }
      hash[r] = h;
    }
  });
  for (std::uint8_t f : fault) {
    if (f == kBadIndex) throw std::invalid_argument("column index out of range");
    if (f == kBadValue) throw std::invalid_argument("input contains NaN, infinity or a value too large for float32");
  }
  const bool sorted_rows = std::find(unsorted.begin(), unsorted.end(), 1) == unsorted.end();

  // Group equal rows.
  auto same_row = [&](std::int64_t a, std::int64_t b) {
    if (y[a] != y[b]) return false;
    std::int64_t i = X.indptr[a], j = X.indptr[b];
    const std::int64_t ie = X.indptr[a + 1], je = X.indptr[b + 1];
    while (true) {
      while (i < ie && static_cast<float>(X.data[i]) == 0.0f) ++i;
      while (j < je && static_cast<float>(X.data[j]) == 0.0f) ++j;
      if (i == ie || j == je) return i == ie && j == je;
      if (X.indices[i] != X.indices[j] ||
          std::bit_cast<std::uint32_t>(static_cast<float>(X.data[i])) !=
              std::bit_cast<std::uint32_t>(static_cast<float>(X.data[j])))
        return false;
      ++i, ++j;
    }
  };
  // A row first joins the sample of the first row of its hash; then every
  // row is compared with that row in parallel, and the rare rows that differ
  // (hash collisions) are grouped exactly.
  t.group.resize(n_rows);
  std::vector<std::uint64_t> group_hash;
  auto new_group = [&](std::int64_t r) {
    t.first.push_back(r);
    group_hash.push_back(hash[r]);
    t.label.push_back(y[r]);
    return static_cast<std::int32_t>(t.first.size() - 1);
  };
  {
    // Open addressing: slot -> the sample of a hash, -1 when empty.
    std::size_t cap = 16;
    while (cap < static_cast<std::size_t>(n_rows) * 2) cap <<= 1;
    BigVector<std::int32_t> table(cap);
    std::fill(table.begin(), table.end(), -1);
    for (std::int64_t r = 0; r < n_rows; ++r) {
      const std::uint64_t h = hash[r];
      std::size_t i = static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> 20) & (cap - 1);
      while (table[i] >= 0 && group_hash[table[i]] != h) i = (i + 1) & (cap - 1);
      if (table[i] < 0) table[i] = new_group(r);
      t.group[r] = table[i];
    }
  }
  std::vector<std::vector<std::int64_t>> differ(n_blocks);
  parallel_items(n_blocks, n_jobs, [&](std::int64_t b, int) {
    for (std::int64_t r = b * kBlock; r < std::min(n_rows, (b + 1) * kBlock); ++r) {
      const std::int64_t f = t.first[t.group[r]];
      if (f != r && !same_row(f, r)) differ[b].push_back(r);
    }
  });
  {
    const std::int32_t base = static_cast<std::int32_t>(t.first.size());
    std::unordered_map<std::uint64_t, std::int32_t> head;  // hash -> the latest group made here
    std::vector<std::int32_t> prev;  // group made here (less base) -> the previous one of its hash
    for (const auto& rows : differ) {
      for (std::int64_t r : rows) {
        auto [it, fresh] = head.try_emplace(hash[r], -1);
        std::int32_t g = it->second;
        while (g >= 0 && !same_row(t.first[g], r)) g = prev[g - base];
        if (g < 0) {
          prev.push_back(it->second);
          g = it->second = new_group(r);
        }
        t.group[r] = g;
      }
    }
  }
  BigVector<std::uint64_t>().swap(hash);

  // Column form: counts, then column ranges of about equal size filled and
  // sorted in parallel.
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
  return t;
}

struct SplitResult {
  bool found = false;
  std::int32_t feature = 0;
  double threshold = 0.0;
  double w_left = 0.0;
  double left[kMaxClasses];  // class weights going left (first k entries)
};

struct StackRecord {
  std::int64_t start, end;
  std::int32_t parent;
  bool is_left;
  double impurity;
  std::int64_t n_constant;
};

// Grows one tree; reused across trees by one worker.
class TreeBuilder {
 public:
  TreeBuilder(const Training& data, const CsrMatrix& X, int n_classes)
      : data_(data), X_(X), n_features_(X.n_cols), k_(n_classes) {
    max_features_ = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::sqrt(static_cast<double>(n_features_))));
    info_.assign(data.n_samples(), {-1, 0});
    value_of_.assign(data.n_samples(), 0.0f);
    features_.resize(n_features_);
    constant_.resize(n_features_);
    entries_.resize(std::max(data.n_samples(), data.max_col) + 1);
    mark_.assign(n_features_, 0);
    // A node is read by rows when its entries cost less than the columns of
    // max_features mean-sized features.
    row_budget_ = max_features_ * (static_cast<std::int64_t>(data.col.size()) / n_features_ + 1) / kRowCost;
  }

  Tree build(std::uint32_t seed) {
    // Bootstrap counts, then the splitter's own generator, both seeded alike.
    const std::int64_t n_rows = data_.n_rows, n_samples = data_.n_samples();
    counts_.assign(n_samples, 0);
    {
      std::mt19937 mt(seed);
      std::uint32_t rng = static_cast<std::uint32_t>(n_rows - 1);
      for (std::int64_t i = 0; i < n_rows; ++i) ++counts_[data_.group[masked_draw(mt, rng)]];
    }
    {
      std::mt19937 mt(seed);
      rand_state_ = masked_draw(mt, kRandRMax - 1);
    }
    samples_.clear();
    weighted_total_ = static_cast<double>(n_rows);
    for (std::int64_t i = 0; i < n_samples; ++i) {
      if (counts_[i] != 0) {
        info_[i].pos = static_cast<std::int32_t>(samples_.size());
        info_[i].wc = (counts_[i] << 8) | data_.label[i];
        samples_.push_back(static_cast<std::int32_t>(i));
      } else {
        info_[i].pos = -1;
      }
    }
    std::iota(features_.begin(), features_.end(), 0);

    Tree tree;
    std::vector<StackRecord> stack;
    // Class weights of the records on the stack, k per record (weights are
    // whole numbers, so these sums are exact whatever the order).
    std::vector<double> stack_sums(k_, 0.0);
    for (std::int32_t s : samples_) stack_sums[info_[s].wc & 0xFF] += static_cast<double>(info_[s].wc >> 8);
    stack.push_back({0, static_cast<std::int64_t>(samples_.size()), -1, false, INFINITY, 0});
    bool first = true;
    std::vector<double> node_sum(k_);
    while (!stack.empty()) {
      StackRecord rec = stack.back();
      stack.pop_back();
      std::int64_t n_node = rec.end - rec.start;
      std::copy(stack_sums.end() - k_, stack_sums.end(), node_sum.begin());
      stack_sums.resize(stack_sums.size() - k_);
      double w_node = 0.0;
      for (int c = 0; c < k_; ++c) w_node += node_sum[c];
      double impurity = rec.impurity;
      if (first) {
        impurity = gini(node_sum.data(), w_node);
        first = false;
      }
      bool is_leaf = n_node < 2 || impurity <= kEpsilon;
      std::int64_t n_constant = rec.n_constant;
      SplitResult split;
      std::int64_t split_pos = rec.end;
      double imp_left = 0, imp_right = 0;
      if (!is_leaf) {
        split = k_ == 2 ? node_split<2>(rec.start, rec.end, node_sum.data(), w_node, n_constant)
                        : node_split<0>(rec.start, rec.end, node_sum.data(), w_node, n_constant);
        if (split.found) {
          split_pos = partition(rec.start, rec.end, split);
          const double w_left = split.w_left;
          children_impurity<0>(split.left, node_sum.data(), w_left, w_node, imp_left, imp_right);
          double w_right = w_node - w_left;
          double improvement = (w_node / weighted_total_) *
                               (impurity - (w_right / w_node * imp_right) - (w_left / w_node * imp_left));
          if (improvement + kEpsilon < 0.0) split.found = false;
        }
        is_leaf = !split.found || split_pos >= rec.end;
      }
      std::int32_t id = static_cast<std::int32_t>(tree.nodes.size());
      if (rec.parent >= 0 && !rec.is_left) tree.nodes[rec.parent].right = id;
      TreeNode node;
      if (is_leaf) {
        node.feature = -1;
        node.threshold = 0.0;
        node.right = static_cast<std::int32_t>(tree.leaf_counts.size() / k_);
        tree.leaf_counts.insert(tree.leaf_counts.end(), node_sum.begin(), node_sum.end());
        tree.nodes.push_back(node);
        continue;
      }
      node.feature = split.feature;
      node.threshold = split.threshold;
      tree.nodes.push_back(node);
      stack.push_back({split_pos, rec.end, id, false, imp_right, n_constant});
      for (int c = 0; c < k_; ++c) stack_sums.push_back(node_sum[c] - split.left[c]);
      stack.push_back({rec.start, split_pos, id, true, imp_left, n_constant});
      stack_sums.insert(stack_sums.end(), split.left, split.left + k_);
    }
    return tree;
  }

 private:
  // Relative cost of a node entry read by rows against a column entry.
  static constexpr std::int64_t kRowCost = 3;

  double gini(const double* sum, double w) const {
    double sq = 0.0;
    for (int c = 0; c < k_; ++c) sq += sum[c] * sum[c];
    return 1.0 - sq / (w * w);
  }

  // K: the number of classes when fixed at compile time, else 0.
  template <int K>
  void children_impurity(const double* left, const double* total, double w_left, double w_node, double& imp_left,
                         double& imp_right) const {
    const int k = K ? K : k_;
    double sq_left = 0.0, sq_right = 0.0;
    for (int c = 0; c < k; ++c) {
      sq_left += left[c] * left[c];
      double r = total[c] - left[c];
      sq_right += r * r;
    }
    double w_right = w_node - w_left;
    imp_left = 1.0 - sq_left / (w_left * w_left);
    imp_right = 1.0 - sq_right / (w_right * w_right);
  }

  // Non-zero values of feature f among samples[start:end) from its column,
  // as (sort_key << 32 | weight-class) entries in value order. Returns their
  // number.
  std::size_t gather_column(std::int32_t f, std::int64_t start, std::int64_t end) {
    const std::uint64_t* c = data_.col.data() + data_.ptr[f];
    const std::uint64_t* ce = data_.col.data() + data_.ptr[f + 1];
    const SampleInfo* info = info_.data();
    const std::uint32_t first = static_cast<std::uint32_t>(start);
    const std::uint32_t n_node = static_cast<std::uint32_t>(end - start);
    std::uint64_t* out = entries_.data();
    std::size_t m = 0;
    for (; c < ce; ++c) {
      const std::uint64_t e = *c;
      const SampleInfo in = info[static_cast<std::uint32_t>(e)];
      out[m] = (e & kKeyMask) | in.wc;
      m += static_cast<std::uint32_t>(in.pos) - first < n_node;
    }
    return m;
  }

  // Files the non-zero entries of the rows of samples[start:end) by feature:
  // mark_[f] is stamp_ << 32 | bucket for the features present.
  void read_rows(std::int64_t start, std::int64_t end) {
    if (++stamp_ == 0) {
      std::fill(mark_.begin(), mark_.end(), 0);
      stamp_ = 1;
    }
    const std::uint64_t stamp = static_cast<std::uint64_t>(stamp_) << 32;
    bucket_off_.clear();
    const std::int64_t* indptr = X_.indptr.data();
    const std::int32_t* idx = X_.indices.data();
    const double* val = X_.data.data();
    for (std::int64_t p = start; p < end; ++p) {
      const std::int64_t r = data_.first[samples_[p]];
      for (std::int64_t k = indptr[r]; k < indptr[r + 1]; ++k) {
        if (static_cast<float>(val[k]) == 0.0f) continue;
        std::uint64_t& mk = mark_[idx[k]];
        if ((mk & kKeyMask) != stamp) {
          mk = stamp | bucket_off_.size();
          bucket_off_.push_back(0);
        }
        ++bucket_off_[static_cast<std::uint32_t>(mk)];
      }
    }
    std::uint32_t sum = 0;
    for (auto& b : bucket_off_) {
      std::uint32_t n = b;
      b = sum;
      sum += n;
    }
    bucket_off_.push_back(sum);
    bucket_.resize(sum);
    fill_.assign(bucket_off_.begin(), bucket_off_.end() - 1);
    for (std::int64_t p = start; p < end; ++p) {
      const std::uint32_t s = static_cast<std::uint32_t>(samples_[p]);
      const std::int64_t r = data_.first[s];
      for (std::int64_t k = indptr[r]; k < indptr[r + 1]; ++k) {
        const float f = static_cast<float>(val[k]);
        if (f == 0.0f) continue;
        bucket_[fill_[static_cast<std::uint32_t>(mark_[idx[k]])]++] =
            (static_cast<std::uint64_t>(sort_key(f)) << 32) | s;
      }
    }
  }

  // The bucket of feature f (sort_key << 32 | sample), empty when absent.
  std::pair<const std::uint64_t*, const std::uint64_t*> bucket(std::int32_t f) const {
    const std::uint64_t mk = mark_[f];
    if ((mk >> 32) != stamp_) return {nullptr, nullptr};
    const std::uint32_t b = static_cast<std::uint32_t>(mk);
    return {bucket_.data() + bucket_off_[b], bucket_.data() + bucket_off_[b + 1]};
  }

  // As gather_column, from the node's rows.
  std::size_t gather_rows(std::int32_t f) {
    auto [b, be] = bucket(f);
    std::uint64_t* out = entries_.data();
    std::size_t m = 0;
    for (; b < be; ++b) out[m++] = (*b & kKeyMask) | info_[static_cast<std::uint32_t>(*b)].wc;
    sort_entries(out, m, tmp_);
    return m;
  }

  // True when the node is cheaper to read by rows; then reads them.
  bool use_rows(std::int64_t start, std::int64_t end) {
    if ((end - start) * 8 > row_budget_) return false;
    std::int64_t cost = 0;
    for (std::int64_t p = start; p < end; ++p) {
      const std::int64_t r = data_.first[samples_[p]];
      cost += X_.indptr[r + 1] - X_.indptr[r];
    }
    if (cost > row_budget_) return false;
    read_rows(start, end);
    return true;
  }

  template <int K>
  SplitResult node_split(std::int64_t start, std::int64_t end, const double* node_sum, double w_node,
                         std::int64_t& n_constant_features) {
    SplitResult best;
    double best_proxy = -INFINITY;
    const std::int64_t n_node = end - start;
    rows_ = use_rows(start, end);

    std::int64_t f_i = n_features_;
    std::int64_t n_visited = 0, n_found_constants = 0, n_drawn_constants = 0;
    const std::int64_t n_known_constants = n_constant_features;
    std::int64_t n_total_constants = n_known_constants;
    std::int32_t* features = features_.data();

    while (f_i > n_total_constants &&
           (n_visited < max_features_ || n_visited <= n_found_constants + n_drawn_constants)) {
      ++n_visited;
      std::int64_t f_j = rand_int(n_drawn_constants, f_i - n_found_constants, rand_state_);
      if (f_j < n_known_constants) {
        std::swap(features[n_drawn_constants], features[f_j]);
        ++n_drawn_constants;
        continue;
      }
      f_j += n_found_constants;
      std::int32_t f = features[f_j];
      std::size_t m = rows_ ? gather_rows(f) : gather_column(f, start, end);
      bool constant;
      std::size_t n_zero = static_cast<std::size_t>(n_node) - m;
      if (m == 0) {
        constant = true;
      } else {
        float lo = key_value(static_cast<std::uint32_t>(entries_[0] >> 32));
        float hi = key_value(static_cast<std::uint32_t>(entries_[m - 1] >> 32));
        if (n_zero > 0) {
          lo = std::min(lo, 0.0f);
          hi = std::max(hi, 0.0f);
        }
        constant = hi <= lo + kFeatureThreshold;
      }
      if (constant) {
        std::swap(features[f_j], features[n_total_constants]);
        ++n_found_constants;
        ++n_total_constants;
        continue;
      }
      --f_i;
      std::swap(features[f_i], features[f_j]);
      scan<K>(f, m, n_zero > 0, node_sum, w_node, best_proxy, best);
    }
    // Known constants keep their order for the descendants.
    std::memcpy(features, constant_.data(), sizeof(std::int32_t) * n_known_constants);
    std::memcpy(constant_.data() + n_known_constants, features + n_known_constants,
                sizeof(std::int32_t) * n_found_constants);
    n_constant_features = n_total_constants;
    return best;
  }

  // Evaluates every split point of the sorted entries (plus the zero group).
  template <int K>
  void scan(std::int32_t f, std::size_t m, bool has_zero, const double* node_sum, double w_node, double& best_proxy,
            SplitResult& best) {
    const int k = K ? K : k_;
    double left[K ? K : kMaxClasses];
    std::fill_n(left, k, 0.0);
    double w_left = 0.0;
    // Class weights of the zero group.
    double zero_sum[K ? K : kMaxClasses];
    double w_zero = 0.0;
    if (has_zero) {
      for (int c = 0; c < k; ++c) zero_sum[c] = node_sum[c];
      w_zero = w_node;
      for (std::size_t i = 0; i < m; ++i) {
        std::uint32_t wc = static_cast<std::uint32_t>(entries_[i]);
        double w = static_cast<double>(wc >> 8);
        zero_sum[wc & 0xFF] -= w;
        w_zero -= w;
      }
    }
    // Walk values in order; the zero group sits before the first key >= 0.
    bool zero_done = !has_zero;
    bool have_prev = false;
    float prev = 0.0f;
    auto consider = [&](float next) {
      // A split between prev and next, when they differ by more than the tolerance.
      if (!have_prev || !(next > prev + kFeatureThreshold)) return;
      double imp_left, imp_right;
      children_impurity<K>(left, node_sum, w_left, w_node, imp_left, imp_right);
      const double proxy = -(w_node - w_left) * imp_right - w_left * imp_left;
      if (proxy > best_proxy) {
        best_proxy = proxy;
        double t = static_cast<double>(prev) / 2.0 + static_cast<double>(next) / 2.0;
        if (t == static_cast<double>(next) || std::isinf(t)) t = static_cast<double>(prev);
        best.found = true;
        best.feature = f;
        best.threshold = t;
        best.w_left = w_left;
        std::copy(left, left + k, best.left);
      }
    };
    auto add_zero = [&] {
      consider(0.0f);
      for (int c = 0; c < k; ++c) left[c] += zero_sum[c];
      w_left += w_zero;
      prev = 0.0f;
      have_prev = true;
      zero_done = true;
    };
    for (std::size_t i = 0; i < m; ++i) {
      std::uint32_t key = static_cast<std::uint32_t>(entries_[i] >> 32);
      if (!zero_done && key >= kZeroKey) add_zero();
      float v = key_value(key);
      consider(v);
      std::uint32_t wc = static_cast<std::uint32_t>(entries_[i]);
      double w = static_cast<double>(wc >> 8);
      left[wc & 0xFF] += w;
      w_left += w;
      prev = v;
      have_prev = true;
    }
    if (!zero_done) add_zero();
  }

  // Moves samples with value <= threshold to the front; returns the split position.
  std::int64_t partition(std::int64_t start, std::int64_t end, const SplitResult& split) {
    // Mark the node's non-zero values of the feature.
    touched_.clear();
    if (rows_) {
      auto [b, be] = bucket(split.feature);
      for (; b < be; ++b) {
        const std::uint32_t s = static_cast<std::uint32_t>(*b);
        value_of_[s] = key_value(static_cast<std::uint32_t>(*b >> 32));
        touched_.push_back(static_cast<std::int32_t>(s));
      }
    } else {
      const std::uint32_t first = static_cast<std::uint32_t>(start);
      const std::uint32_t n_node = static_cast<std::uint32_t>(end - start);
      for (std::int64_t k = data_.ptr[split.feature]; k < data_.ptr[split.feature + 1]; ++k) {
        const std::uint64_t e = data_.col[k];
        const std::uint32_t s = static_cast<std::uint32_t>(e);
        if (static_cast<std::uint32_t>(info_[s].pos) - first < n_node) {
          value_of_[s] = key_value(static_cast<std::uint32_t>(e >> 32));
          touched_.push_back(static_cast<std::int32_t>(s));
        }
      }
    }
    std::int64_t lo = start, hi = end;
    while (lo < hi) {
      std::int32_t s = samples_[lo];
      if (static_cast<double>(value_of_[s]) <= split.threshold) {
        ++lo;
      } else {
        --hi;
        std::swap(samples_[lo], samples_[hi]);
        info_[samples_[lo]].pos = static_cast<std::int32_t>(lo);
        info_[samples_[hi]].pos = static_cast<std::int32_t>(hi);
      }
    }
    for (std::int32_t r : touched_) value_of_[r] = 0.0f;
    return lo;
  }

  const Training& data_;
  const CsrMatrix& X_;
  std::int64_t n_features_;
  int k_;
  std::int64_t max_features_;
  std::int64_t row_budget_;
  std::uint32_t rand_state_ = 0;
  double weighted_total_ = 0.0;
  // Per sample: position in samples_ (-1 when out of the bag) and bootstrap
  // count << 8 | class.
  struct SampleInfo {
    std::int32_t pos;
    std::uint32_t wc;
  };
  std::vector<SampleInfo> info_;
  std::vector<std::uint32_t> counts_;
  std::vector<std::int32_t> samples_, features_, constant_, touched_;
  std::vector<float> value_of_;
  std::vector<std::uint64_t> entries_, tmp_;
  // The current node by rows (when rows_): its entries by feature.
  bool rows_ = false;
  std::uint32_t stamp_ = 0;
  std::vector<std::uint64_t> mark_, bucket_;
  std::vector<std::uint32_t> bucket_off_, fill_;
};

}  // namespace

std::vector<Tree> grow_trees(const CsrMatrix& X, std::vector<std::uint8_t> y, int n_classes,
                             std::span<const std::uint32_t> seeds, int n_jobs) {
  Training training = prepare(X, y, n_jobs);
  std::vector<std::uint8_t>().swap(y);

  const int n_trees = static_cast<int>(seeds.size());
  std::vector<Tree> trees(n_trees);
  int workers = std::min(resolve_jobs(n_jobs), n_trees);
  std::vector<std::unique_ptr<TreeBuilder>> builders(workers);
  parallel_items(n_trees, workers, [&](std::int64_t t, int w) {
    if (!builders[w]) builders[w] = std::make_unique<TreeBuilder>(training, X, n_classes);
    trees[t] = builders[w]->build(seeds[t]);
  });
  return trees;
}

}  // namespace tessel::ml::detail
