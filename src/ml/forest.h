#pragma once
// Random forest of fully grown gini trees on sparse float32 features.
//
// Settings: bootstrap samples (drawn as per-sample counts), sqrt(n_features)
// features tried per node, trees grown until pure, thresholds halfway between
// neighbouring values. Trees are built in parallel; the trees do not depend
// on the number of threads. A row goes left when float(x) <= threshold; a
// missing sparse entry is 0. The forest predicts the class of highest mean
// leaf probability, the lowest class on a tie.
//
// The fit is in forest.cpp, the tree builder in tree_builder.h and the
// compiled predictor in compiled_forest.h.
#include <cstdint>
#include <memory>
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

namespace detail {
class CompiledForest;
}

class RandomForestClassifier {
 public:
  static constexpr int kMaxClasses = 256;  // most classes a forest learns

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
  // Throws unless the forest is fitted and X fits it.
  void check_rows(const CsrMatrix& X) const;

  int n_estimators_;
  std::uint32_t random_state_;
  std::int64_t n_features_ = 0;
  std::vector<std::int64_t> classes_;
  std::vector<Tree> trees_;
  // The prediction form of the trees (src/ml/compiled_forest.h); copies of a
  // forest share it.
  std::shared_ptr<const detail::CompiledForest> compiled_;
};

// Fraction of equal labels (0 for empty input).
double accuracy_score(std::span<const std::int64_t> y_true, std::span<const std::int64_t> y_pred);

}  // namespace tessel::ml
