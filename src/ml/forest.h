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
    std::int32_t feature;  // feature slot
    std::int32_t right;    // index in fast_nodes_
  };
  struct SlotEntry {
    std::int32_t key;  // feature + 1, 0 when empty
    std::int32_t slot;
  };
  void compile();
  template <class Sink>
  void run_rows(const CsrMatrix& X, int n_jobs, Sink&& sink) const;

  int n_estimators_;
  std::uint32_t random_state_;
  std::int64_t n_features_ = 0;
  std::vector<std::int64_t> classes_;
  std::vector<Tree> trees_;
  // Prediction form. The nodes of all trees in order, one bit per node in
  // the bitmaps; a walk passes every node whose feature the row lacks when
  // that node sends zero left (to the next node). The other nodes are stops:
  // the leaves and the nodes that send zero right (stop_bits_), and the nodes
  // of the row's own features (node_pos_, grouped by slot).
  std::vector<FastNode> fast_nodes_;  // inner nodes; entries of leaves unused
  std::vector<std::int32_t> tree_root_;
  std::vector<std::uint64_t> stop_bits_, leaf_bits_;
  // Per node: the class of a leaf whose samples are all of one class; for
  // the other leaves kMixedLeaf, and their probabilities (k each) are in
  // mixed_proba_ in node order (mixed_rank_: such leaves before each word).
  std::vector<std::uint8_t> leaf_class_;
  std::vector<std::uint64_t> mixed_bits_;
  std::vector<std::uint32_t> mixed_rank_;
  std::vector<double> mixed_proba_;
  std::vector<std::int32_t> node_pos_off_;
  std::vector<std::uint32_t> node_pos_;
  // The features the trees test get compact slots: an open-addressing map
  // feature -> slot.
  std::vector<SlotEntry> slot_map_;
  std::int32_t n_slots_ = 0;
};

// Fraction of equal labels (0 for empty input).
double accuracy_score(std::span<const std::int64_t> y_true, std::span<const std::int64_t> y_pred);

}  // namespace tessel::ml
