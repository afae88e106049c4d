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

#include "ml/column_sort.h"
#include "ml/parallel.h"
#include "ml/training_set.h"
#include "ml/tree_random.h"

namespace tessel::ml::detail {

namespace {

constexpr float kFeatureThreshold = 1e-7f;
constexpr double kEpsilon = DBL_EPSILON;
constexpr int kMaxClasses = RandomForestClassifier::kMaxClasses;

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
          double improvement =
              (w_node / weighted_total_) * (impurity - (w_right / w_node * imp_right) - (w_left / w_node * imp_left));
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
    double best_proxy = -std::numeric_limits<double>::infinity();
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
