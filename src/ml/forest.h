#pragma once
// Random forest of fully grown gini trees on sparse float32 features.
//
// Settings: bootstrap samples (drawn as per-sample counts), sqrt(n_features)
// features tried per node, trees grown until pure, thresholds halfway between
// neighbouring values. Trees are built in parallel; the trees do not depend
// on the number of threads. A row goes left when float(x) <= threshold; a
// missing sparse entry is 0. The forest predicts the class of highest mean
// leaf probability, the lowest class on a tie.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "ml/sparse.h"

namespace tessel::ml {

struct TreeNode {
  double threshold = 0.0;
  std::int32_t feature = -1;  // -1 for a leaf
  // Inner node: index of the right child (the left child is the next node).
  // Leaf: index of the leaf.
  std::int32_t right = 0;
};

struct Tree {
  // Depth-first order, left subtree first.
  std::vector<TreeNode> nodes;
  // Weighted class counts of the training samples in each leaf,
  // n_leaves * n_classes.
  std::vector<double> leaf_counts;
};

class RandomForestClassifier {
 public:
  explicit RandomForestClassifier(int n_estimators = 100, std::uint32_t random_state = 1);

  // y holds one label per row. Throws std::invalid_argument on bad input.
  // n_jobs <= 0: all cores.
  void fit(const CsrMatrix& X, std::span<const std::int64_t> y, int n_jobs = -1);

  // Throws std::logic_error before fit and std::invalid_argument when X has
  // another number of columns than the training matrix.
  std::vector<std::int64_t> predict(const CsrMatrix& X, int n_jobs = 1) const;
  void predict(const CsrMatrix& X, std::vector<std::int64_t>& out, int n_jobs = 1) const;
  // n_rows * n_classes, row-major.
  std::vector<double> predict_proba(const CsrMatrix& X, int n_jobs = 1) const;

  bool fitted() const { return !trees_.empty(); }
  int n_estimators() const { return n_estimators_; }
  std::uint32_t random_state() const { return random_state_; }
  std::int64_t n_features() const { return n_features_; }
  const std::vector<std::int64_t>& classes() const { return classes_; }
  const std::vector<Tree>& trees() const { return trees_; }

  // Rebuilds a fitted forest (used by model loading). Throws
  // std::invalid_argument when the parts are inconsistent.
  static RandomForestClassifier from_parts(int n_estimators, std::uint32_t random_state, std::int64_t n_features,
                                           std::vector<std::int64_t> classes, std::vector<Tree> trees);

 private:
  struct FastNode {
    float threshold;  // largest float <= the double threshold
    std::int32_t feature;  // feature slot, -1 for a leaf
    std::int32_t right;    // inner node: index in fast_nodes_; leaf: leaf index
  };
  void compile();
  std::int32_t slot_of(std::int32_t feature) const;  // -1 when no tree tests it
  std::size_t slot_hash(std::int32_t feature) const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(feature) * 0x9E3779B97F4A7C15ull) >> 32) &
           (slot_keys_.size() - 1);
  }
  template <class Sink>
  void run_rows(const CsrMatrix& X, int n_jobs, Sink&& sink) const;

  int n_estimators_;
  std::uint32_t random_state_;
  std::int64_t n_features_ = 0;
  std::vector<std::int64_t> classes_;
  std::vector<Tree> trees_;
  // Prediction form: nodes of all trees, per-tree offsets, leaf probabilities.
  std::vector<FastNode> fast_nodes_;
  // Per node the feature slot whose absence sends a row to the next node, or
  // the sentinel n_slots_ (leaves, and nodes that send zero right).
  std::vector<std::int32_t> scan_feature_;
  // Open-addressing map feature + 1 -> slot of the features the trees test.
  std::vector<std::int32_t> slot_keys_, slot_ids_;
  std::int32_t n_slots_ = 0;
  std::vector<std::int32_t> tree_offset_;
  std::vector<double> leaf_proba_;
  std::vector<std::int64_t> leaf_offset_;
};

// Fraction of equal labels (0 for empty input).
double accuracy_score(std::span<const std::int64_t> y_true, std::span<const std::int64_t> y_pred);

}  // namespace tessel::ml
