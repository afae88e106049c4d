#include "ml/compiled_forest.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "ml/parallel.h"

namespace tessel::ml::detail {

namespace {

constexpr int kMaxClasses = RandomForestClassifier::kMaxClasses;
constexpr std::uint8_t kMixedLeaf = 255;

// Portable popcount (the default target has no instruction for it).
inline std::uint32_t bit_count(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace

CompiledForest::CompiledForest(const std::vector<Tree>& trees, std::size_t n_classes) : k_(n_classes) {
  const std::size_t k = k_;
  std::size_t total = 0;
  std::vector<std::int32_t> features;
  for (const Tree& t : trees) {
    total += t.nodes.size();
    for (const TreeNode& n : t.nodes)
      if (n.feature >= 0) features.push_back(n.feature);
  }
  if (total > static_cast<std::size_t>(INT32_MAX) - 64) throw std::length_error("forest too large");
  // Slots in feature order, so the prediction buffers stay as small as the
  // forest whatever its feature count.
  std::sort(features.begin(), features.end());
  features.erase(std::unique(features.begin(), features.end()), features.end());
  n_slots_ = static_cast<std::int32_t>(features.size());
  slot_of_feature_.assign(features.empty() ? 0 : static_cast<std::size_t>(features.back()) + 1, -1);
  for (std::int32_t s = 0; s < n_slots_; ++s) slot_of_feature_[features[s]] = s;
  auto slot_of = [&](std::int32_t f) {
    return static_cast<std::int32_t>(std::lower_bound(features.begin(), features.end(), f) - features.begin());
  };

  fast_nodes_.assign(total, FastNode{0.0f, 0, 0});
  tree_root_.clear();
  // One spare word: a walk may read the word after its last stop.
  const std::size_t n_words = total / 64 + 1;
  stop_bits_.assign(n_words, 0);
  leaf_bits_.assign(n_words, 0);
  mixed_bits_.assign(n_words, 0);
  mixed_rank_.assign(n_words, 0);
  leaf_class_.assign(total, kMixedLeaf);
  mixed_proba_.clear();
  node_pos_off_.assign(static_cast<std::size_t>(n_slots_) + 1, 0);
  std::size_t at = 0;
  for (const Tree& t : trees) {
    const std::int32_t base = static_cast<std::int32_t>(at);
    tree_root_.push_back(base);
    for (const TreeNode& n : t.nodes) {
      const std::uint64_t bit = std::uint64_t{1} << (at % 64);
      if (n.feature < 0) {
        stop_bits_[at / 64] |= bit;
        leaf_bits_[at / 64] |= bit;
        const double* counts = t.leaf_counts.data() + n.right * k;
        std::size_t nonzero = 0, cls = 0;
        for (std::size_t c = 0; c < k; ++c)
          if (counts[c] != 0.0) ++nonzero, cls = c;
        // Its probabilities are exactly 1 for that class and 0 elsewhere.
        if (nonzero == 1 && cls < kMixedLeaf) {
          leaf_class_[at] = static_cast<std::uint8_t>(cls);
        } else {
          mixed_bits_[at / 64] |= bit;
          double norm = 0.0;
          for (std::size_t c = 0; c < k; ++c) norm += counts[c];
          if (norm == 0.0) norm = 1.0;
          for (std::size_t c = 0; c < k; ++c) mixed_proba_.push_back(counts[c] / norm);
        }
      } else {
        // x <= threshold in double is x <= the largest float not above it.
        float thr = static_cast<float>(n.threshold);
        if (static_cast<double>(thr) > n.threshold) thr = std::nextafter(thr, -INFINITY);
        const std::int32_t slot = slot_of(n.feature);
        fast_nodes_[at] = {thr, slot, base + n.right};
        // A node that sends zero left is passed when the row lacks its
        // feature; the others are stops.
        if (0.0f <= thr)
          ++node_pos_off_[slot + 1];
        else
          stop_bits_[at / 64] |= bit;
      }
      ++at;
    }
  }
  std::uint32_t mixed = 0;
  for (std::size_t w = 0; w < n_words; ++w) {
    mixed_rank_[w] = mixed;
    mixed += bit_count(mixed_bits_[w]);
  }
  for (std::int32_t s = 0; s < n_slots_; ++s) node_pos_off_[s + 1] += node_pos_off_[s];
  node_pos_.resize(node_pos_off_.back());
  std::vector<std::int32_t> fill(node_pos_off_.begin(), node_pos_off_.end() - 1);
  for (std::size_t i = 0; i < total; ++i)
    if (!(stop_bits_[i / 64] >> (i % 64) & 1))
      node_pos_[fill[fast_nodes_[i].feature]++] = static_cast<std::uint32_t>(i);
}

template <class Sink>
void CompiledForest::run_rows(const CsrMatrix& X, int n_jobs, Sink&& sink) const {
  const std::size_t k = k_;
  const std::size_t n_trees = tree_root_.size();
  const std::size_t n_words = stop_bits_.size();
  constexpr std::int64_t kChunk = 64;
  std::int64_t n_chunks = (X.n_rows + kChunk - 1) / kChunk;
  parallel_items(n_chunks, n_chunks > 1 ? n_jobs : 1, [&](std::int64_t chunk, int) {
    // The row's values by feature slot, and a bit per node that the row's
    // features make a stop. Both are all zero between rows.
    thread_local std::vector<float> dense;
    thread_local std::vector<std::uint64_t> row_bits;
    thread_local std::vector<std::int32_t> row_slots;
    thread_local std::vector<std::uint32_t> leaf_nodes;
    if (leaf_nodes.size() < n_trees) leaf_nodes.resize(n_trees);
    std::uint32_t* leaves = leaf_nodes.data();
    if (dense.size() < static_cast<std::size_t>(n_slots_)) dense.resize(n_slots_, 0.0f);
    if (row_bits.size() < n_words) row_bits.resize(n_words, 0);
    const std::uint64_t* stops = stop_bits_.data();
    const std::uint64_t* leaf_bits = leaf_bits_.data();
    const std::uint8_t* leaf_class = leaf_class_.data();
    const std::uint64_t* mixed_bits = mixed_bits_.data();
    const std::uint32_t* mixed_rank = mixed_rank_.data();
    const double* mixed_proba = mixed_proba_.data();
    const std::int32_t* slot_of = slot_of_feature_.data();
    const std::int64_t n_tested = static_cast<std::int64_t>(slot_of_feature_.size());
    std::uint64_t* bits = row_bits.data();
    const FastNode* nodes = fast_nodes_.data();
    const std::uint32_t* pos = node_pos_.data();
    const std::int32_t* pos_off = node_pos_off_.data();
    float* values = dense.data();
    double acc[kMaxClasses];
    std::int64_t r_end = std::min(X.n_rows, (chunk + 1) * kChunk);
    for (std::int64_t r = chunk * kChunk; r < r_end; ++r) {
      // The row's features that the trees test: look-ups fetched ahead, then
      // resolved, then their nodes marked.
      const std::int64_t e_begin = X.indptr[r], e_end = X.indptr[r + 1];
      for (std::int64_t e = e_begin; e < e_end; ++e)
        if (X.indices[e] < n_tested) __builtin_prefetch(slot_of + X.indices[e]);
      row_slots.clear();
      for (std::int64_t e = e_begin; e < e_end; ++e) {
        const std::int32_t f = X.indices[e];
        if (f >= n_tested || slot_of[f] < 0) continue;  // no tree tests it
        const std::int32_t s = slot_of[f];
        row_slots.push_back(s);
        values[s] = static_cast<float>(X.data[e]);
        __builtin_prefetch(pos + pos_off[s]);
      }
      std::size_t n_set = 0;
      for (std::int32_t s : row_slots) {
        for (std::int32_t p = pos_off[s]; p < pos_off[s + 1]; ++p)
          bits[pos[p] >> 6] |= std::uint64_t{1} << (pos[p] & 63);
        n_set += static_cast<std::size_t>(pos_off[s + 1] - pos_off[s]);
      }
      auto next_stop = [&](std::uint32_t i) {
        // Nodes up to the next stop send the row left, to the next node.
        std::uint32_t w = i >> 6;
        std::uint64_t m = (stops[w] | bits[w]) >> (i & 63);
        if (m != 0) return i + static_cast<std::uint32_t>(std::countr_zero(m));
        do {
          ++w;
          m = stops[w] | bits[w];
        } while (m == 0);
        return (w << 6) + static_cast<std::uint32_t>(std::countr_zero(m));
      };
      // Leaves of one class are counted; the sums are those counts unless
      // a leaf of mixed classes was met, when every tree's share is added in
      // tree order.
      std::uint32_t counts[kMaxClasses] = {};
      bool mixed = false;
      for (std::size_t t = 0; t < n_trees; ++t) {
        std::uint32_t i = next_stop(static_cast<std::uint32_t>(tree_root_[t]));
        while (!(leaf_bits[i >> 6] >> (i & 63) & 1)) {
          const FastNode& n = nodes[i];
          i = next_stop(values[n.feature] <= n.threshold ? i + 1 : static_cast<std::uint32_t>(n.right));
        }
        leaves[t] = i;
        const std::uint8_t cls = leaf_class[i];
        if (cls != kMixedLeaf)
          ++counts[cls];
        else
          mixed = true;
      }
      if (!mixed) {
        for (std::size_t c = 0; c < k; ++c) acc[c] = static_cast<double>(counts[c]);
      } else {
        std::fill(acc, acc + k, 0.0);
        for (std::size_t t = 0; t < n_trees; ++t) {
          const std::uint32_t i = leaves[t], w = i >> 6;
          const std::uint8_t cls = leaf_class[i];
          if (cls != kMixedLeaf) {
            acc[cls] += 1.0;
            continue;
          }
          const std::size_t leaf = mixed_rank[w] + bit_count(mixed_bits[w] & ((std::uint64_t{2} << (i & 63)) - 1)) - 1;
          const double* p = mixed_proba + leaf * k;
          for (std::size_t c = 0; c < k; ++c) acc[c] += p[c];
        }
      }
      for (std::int32_t s : row_slots) values[s] = 0.0f;
      if (n_set * 8 > n_words) {
        std::fill(bits, bits + n_words, 0);
      } else {
        for (std::int32_t s : row_slots)
          for (std::int32_t p = pos_off[s]; p < pos_off[s + 1]; ++p) bits[pos[p] >> 6] = 0;
      }
      for (std::size_t c = 0; c < k; ++c) acc[c] /= static_cast<double>(n_trees);
      sink(r, acc);
    }
  });
}

void CompiledForest::predict(const CsrMatrix& X, std::span<const std::int64_t> classes, std::int64_t* out,
                             int n_jobs) const {
  const std::size_t k = k_;
  run_rows(X, n_jobs, [&](std::int64_t r, const double* proba) {
    std::size_t best = 0;
    for (std::size_t c = 1; c < k; ++c)
      if (proba[c] > proba[best]) best = c;
    out[r] = classes[best];
  });
}

void CompiledForest::predict_proba(const CsrMatrix& X, double* out, int n_jobs) const {
  const std::size_t k = k_;
  run_rows(X, n_jobs, [&](std::int64_t r, const double* proba) { std::copy(proba, proba + k, out + r * k); });
}

}  // namespace tessel::ml::detail
