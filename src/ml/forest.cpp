#include "ml/forest.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "ml/compiled_forest.h"
#include "ml/tree_builder.h"
#include "ml/tree_random.h"

namespace tessel::ml {

namespace {

void check_csr(const CsrMatrix& X) {
  if (X.n_rows < 0 || X.n_cols < 0 || static_cast<std::int64_t>(X.indptr.size()) != X.n_rows + 1 ||
      X.indptr.front() != 0 || X.indptr.back() != X.nnz() || X.data.size() != X.indices.size())
    throw std::invalid_argument("malformed sparse matrix");
  for (std::int64_t r = 0; r < X.n_rows; ++r)
    if (X.indptr[r + 1] < X.indptr[r]) throw std::invalid_argument("malformed sparse matrix");
}

}  // namespace

RandomForestClassifier::RandomForestClassifier(int n_estimators, std::uint32_t random_state)
    : n_estimators_(n_estimators), random_state_(random_state) {
  if (n_estimators < 1) throw std::invalid_argument("n_estimators must be at least 1");
}

void RandomForestClassifier::fit(const CsrMatrix& X, std::span<const std::int64_t> y, int n_jobs) {
  check_csr(X);
  if (X.n_rows < 1) throw std::invalid_argument("cannot fit on 0 samples");
  if (X.n_cols < 1) throw std::invalid_argument("cannot fit on 0 features");
  if (static_cast<std::int64_t>(y.size()) != X.n_rows)
    throw std::invalid_argument("the number of labels differs from the number of rows");
  if (X.n_rows > (std::int64_t{1} << 24) || X.n_cols > INT32_MAX) throw std::invalid_argument("matrix too large");
  std::vector<std::int64_t> classes(y.begin(), y.end());
  std::sort(classes.begin(), classes.end());
  classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
  if (classes.size() > static_cast<std::size_t>(kMaxClasses)) throw std::invalid_argument("too many classes");
  std::vector<std::uint8_t> y_enc(y.size());
  for (std::size_t i = 0; i < y.size(); ++i)
    y_enc[i] = static_cast<std::uint8_t>(std::lower_bound(classes.begin(), classes.end(), y[i]) - classes.begin());

  std::vector<std::uint32_t> seeds(n_estimators_);
  {
    std::mt19937 mt(random_state_);
    for (auto& s : seeds) s = detail::masked_draw(mt, 0x7FFFFFFEu);
  }
  std::vector<Tree> trees = detail::grow_trees(X, std::move(y_enc), static_cast<int>(classes.size()), seeds, n_jobs);
  auto compiled = std::make_shared<const detail::CompiledForest>(trees, classes.size());
  n_features_ = X.n_cols;
  classes_ = std::move(classes);
  trees_ = std::move(trees);
  compiled_ = std::move(compiled);
}

void RandomForestClassifier::check_rows(const CsrMatrix& X) const {
  if (!fitted()) throw std::logic_error("the forest is not fitted");
  check_csr(X);
  if (X.n_cols != n_features_)
    throw std::invalid_argument("X has " + std::to_string(X.n_cols) + " features, the forest expects " +
                                std::to_string(n_features_));
  for (std::int32_t j : X.indices)
    if (j < 0 || j >= n_features_) throw std::invalid_argument("column index out of range");
}

void RandomForestClassifier::predict(const CsrMatrix& X, std::vector<std::int64_t>& out, int n_jobs) const {
  out.resize(X.n_rows);
  check_rows(X);
  compiled_->predict(X, classes_, out.data(), n_jobs);
}

std::vector<std::int64_t> RandomForestClassifier::predict(const CsrMatrix& X, int n_jobs) const {
  std::vector<std::int64_t> out;
  predict(X, out, n_jobs);
  return out;
}

std::vector<double> RandomForestClassifier::predict_proba(const CsrMatrix& X, int n_jobs) const {
  std::vector<double> out(X.n_rows * classes_.size());
  check_rows(X);
  compiled_->predict_proba(X, out.data(), n_jobs);
  return out;
}

RandomForestClassifier RandomForestClassifier::from_parts(int n_estimators, std::uint32_t random_state,
                                                          std::int64_t n_features, std::vector<std::int64_t> classes,
                                                          std::vector<Tree> trees) {
  RandomForestClassifier f(n_estimators, random_state);
  if (n_features < 1 || n_features > INT32_MAX) throw std::invalid_argument("bad feature count");
  if (classes.empty() || classes.size() > static_cast<std::size_t>(kMaxClasses) ||
      !std::is_sorted(classes.begin(), classes.end()) ||
      std::adjacent_find(classes.begin(), classes.end()) != classes.end())
    throw std::invalid_argument("bad class list");
  if (trees.empty()) throw std::invalid_argument("no trees");
  const std::size_t k = classes.size();
  for (const Tree& t : trees) {
    const std::int64_t n = static_cast<std::int64_t>(t.nodes.size());
    if (n < 1 || t.leaf_counts.size() % k != 0) throw std::invalid_argument("bad tree");
    const std::int64_t n_leaves = static_cast<std::int64_t>(t.leaf_counts.size() / k);
    // Children come after their parent, so every walk ends at a leaf.
    for (std::int64_t i = 0; i < n; ++i) {
      const TreeNode& nd = t.nodes[i];
      if (nd.feature >= 0) {
        if (nd.feature >= n_features || i + 1 >= n || nd.right <= i + 1 || nd.right >= n ||
            !std::isfinite(nd.threshold))
          throw std::invalid_argument("bad tree node");
      } else if (nd.feature != -1 || nd.right < 0 || nd.right >= n_leaves) {
        throw std::invalid_argument("bad tree leaf");
      }
    }
    for (double v : t.leaf_counts)
      if (!std::isfinite(v) || v < 0) throw std::invalid_argument("bad leaf value");
  }
  f.n_features_ = n_features;
  f.classes_ = std::move(classes);
  f.trees_ = std::move(trees);
  f.compiled_ = std::make_shared<const detail::CompiledForest>(f.trees_, f.classes_.size());
  return f;
}

double accuracy_score(std::span<const std::int64_t> y_true, std::span<const std::int64_t> y_pred) {
  if (y_true.size() != y_pred.size()) throw std::invalid_argument("label lists differ in length");
  if (y_true.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::size_t same = 0;
  for (std::size_t i = 0; i < y_true.size(); ++i) same += y_true[i] == y_pred[i];
  return static_cast<double>(same) / static_cast<double>(y_true.size());
}

}  // namespace tessel::ml
