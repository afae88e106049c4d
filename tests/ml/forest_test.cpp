#include "ml/forest.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ml/tfidf.h"
#include "ml_fixtures.h"

using namespace tessel;
using namespace tessel::ml;
using tessel::ml::testing::fixture;

namespace {

// Python repr of a float that holds a whole number ("3.0").
std::string repr_whole(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// The text the fixture generator hashes: one line per node.
std::string tree_digest(const Tree& t, std::size_t k) {
  std::string text;
  for (const TreeNode& n : t.nodes) {
    if (n.feature < 0) {
      text += "L";
      for (std::size_t c = 0; c < k; ++c) text += " " + repr_whole(t.leaf_counts[n.right * k + c]);
    } else {
      text += std::to_string(n.feature) + " " + std::to_string(n.right) + " " +
              std::to_string(std::bit_cast<std::uint64_t>(n.threshold));
    }
    text += "\n";
  }
  return tessel::ml::testing::md5_hex(text);
}

CsrMatrix small_matrix() {
  TfidfVectorizer v;
  return v.fit_transform(std::vector<std::string>{"ab", "abc", "cd", "cde", "ef"});
}

// Class probabilities by a plain walk of each tree: float(x) <= threshold
// goes left, a missing entry is 0; leaf counts over their sum, added in tree
// order and divided by the number of trees.
std::vector<double> plain_proba(const RandomForestClassifier& rf, const CsrMatrix& x) {
  const std::size_t k = rf.classes().size();
  std::vector<double> out;
  for (std::int64_t r = 0; r < x.n_rows; ++r) {
    std::map<std::int32_t, double> row;
    for (std::int64_t i = x.indptr[r]; i < x.indptr[r + 1]; ++i) row[x.indices[i]] = x.data[i];
    std::vector<double> acc(k, 0.0);
    for (const Tree& t : rf.trees()) {
      std::int32_t i = 0;
      while (t.nodes[i].feature >= 0) {
        auto it = row.find(t.nodes[i].feature);
        double v = it == row.end() ? 0.0 : it->second;
        i = static_cast<float>(v) <= t.nodes[i].threshold ? i + 1 : t.nodes[i].right;
      }
      double sum = 0;
      for (std::size_t c = 0; c < k; ++c) sum += t.leaf_counts[t.nodes[i].right * k + c];
      for (std::size_t c = 0; c < k; ++c) acc[c] += t.leaf_counts[t.nodes[i].right * k + c] / sum;
    }
    for (std::size_t c = 0; c < k; ++c) out.push_back(acc[c] / static_cast<double>(rf.trees().size()));
  }
  return out;
}

// predict_proba equals the plain walk exactly, on one thread and on all,
// and predict takes the first class of highest probability.
void expect_plain_walk(const RandomForestClassifier& rf, const CsrMatrix& x) {
  const std::size_t k = rf.classes().size();
  std::vector<double> want = plain_proba(rf, x);
  EXPECT_EQ(rf.predict_proba(x, 1), want);
  EXPECT_EQ(rf.predict_proba(x, -1), want);
  std::vector<std::int64_t> labels;
  for (std::int64_t r = 0; r < x.n_rows; ++r) {
    std::size_t best = 0;
    for (std::size_t c = 1; c < k; ++c)
      if (want[r * k + c] > want[r * k + best]) best = c;
    labels.push_back(rf.classes()[best]);
  }
  EXPECT_EQ(rf.predict(x, 1), labels);
  EXPECT_EQ(rf.predict(x, -1), labels);
}

}  // namespace

TEST(Forest, MatchesReferenceTreesAndPredictions) {
  Json fx = fixture("forest.json");
  for (const Json& c : fx["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    auto train = c["train"].get<std::vector<std::string>>();
    auto test = c["test"].get<std::vector<std::string>>();
    auto y = c["y"].get<std::vector<std::int64_t>>();
    TfidfVectorizer v;
    CsrMatrix x = v.fit_transform(train);
    RandomForestClassifier rf(c["n_estimators"].get<int>());
    rf.fit(x, y);
    EXPECT_EQ(rf.classes(), c["classes"].get<std::vector<std::int64_t>>());
    const std::size_t k = rf.classes().size();
    auto digests = c["digests"].get<std::vector<std::string>>();
    ASSERT_EQ(rf.trees().size(), digests.size());
    int same = 0;
    for (std::size_t t = 0; t < digests.size(); ++t) same += tree_digest(rf.trees()[t], k) == digests[t];
    EXPECT_EQ(same, static_cast<int>(digests.size())) << "trees equal to the reference";
    if (c.contains("trees")) {
      for (std::size_t t = 0; t < c["trees"].size(); ++t) {
        const Json& jt = c["trees"][t];
        const Tree& tree = rf.trees()[t];
        std::vector<std::int32_t> feature, right;
        std::vector<double> threshold;
        for (const TreeNode& n : tree.nodes) {
          feature.push_back(n.feature);
          right.push_back(n.right);
          threshold.push_back(n.threshold);
        }
        EXPECT_EQ(feature, jt["feature"].get<std::vector<std::int32_t>>()) << "tree " << t;
        EXPECT_EQ(right, jt["right"].get<std::vector<std::int32_t>>()) << "tree " << t;
        EXPECT_EQ(threshold, jt["threshold"].get<std::vector<double>>()) << "tree " << t;
        std::vector<double> leaves;
        for (const Json& l : jt["leaves"])
          for (double d : l.get<std::vector<double>>()) leaves.push_back(d);
        EXPECT_EQ(tree.leaf_counts, leaves) << "tree " << t;
      }
    }
    EXPECT_EQ(rf.predict(x), c["train_pred"].get<std::vector<std::int64_t>>());
    CsrMatrix xt = v.transform(test);
    EXPECT_EQ(rf.predict(xt), c["test_pred"].get<std::vector<std::int64_t>>());
    std::vector<double> proba = rf.predict_proba(xt);
    std::vector<double> want;
    for (const Json& row : c["test_proba"])
      for (double d : row.get<std::vector<double>>()) want.push_back(d);
    ASSERT_EQ(proba.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(proba[i], want[i], 1e-12) << i;
  }
}

TEST(Forest, ThreadCountDoesNotChangeTheTrees) {
  std::vector<std::string> docs;
  std::vector<std::int64_t> y;
  for (int i = 0; i < 600; ++i) {
    docs.push_back((i % 3 ? "id=" : "' or ") + std::to_string(i * 31 % 1000));
    y.push_back(i % 3 == 0);
  }
  TfidfVectorizer v;
  CsrMatrix x = v.fit_transform(docs);
  RandomForestClassifier one(20), many(20);
  one.fit(x, y, 1);
  many.fit(x, y, 8);
  ASSERT_EQ(one.trees().size(), many.trees().size());
  for (std::size_t t = 0; t < one.trees().size(); ++t)
    EXPECT_EQ(tree_digest(one.trees()[t], 2), tree_digest(many.trees()[t], 2)) << t;
  EXPECT_EQ(one.predict(x, 1), many.predict(x, 4));
}

TEST(Forest, RejectsBadInput) {
  CsrMatrix x = small_matrix();
  std::vector<std::int64_t> y = {0, 1, 0, 1, 0};
  RandomForestClassifier rf(3);
  EXPECT_THROW(rf.predict(x), std::logic_error);
  EXPECT_THROW(rf.fit(CsrMatrix{}, std::vector<std::int64_t>{}), std::invalid_argument);
  EXPECT_THROW(rf.fit(x, std::vector<std::int64_t>{0, 1}), std::invalid_argument);
  CsrMatrix nan = x;
  nan.data[0] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(rf.fit(nan, y), std::invalid_argument);
  CsrMatrix huge = x;
  huge.data[0] = 1e300;
  EXPECT_THROW(rf.fit(huge, y), std::invalid_argument);
  CsrMatrix bad_index = x;
  bad_index.indices[0] = static_cast<std::int32_t>(x.n_cols);
  EXPECT_THROW(rf.fit(bad_index, y), std::invalid_argument);
  EXPECT_FALSE(rf.fitted());
  rf.fit(x, y);
  CsrMatrix narrow = x;
  narrow.n_cols -= 1;
  EXPECT_THROW(rf.predict(narrow), std::invalid_argument);
  CsrMatrix empty;
  empty.n_cols = x.n_cols;
  EXPECT_TRUE(rf.predict(empty).empty());
}

TEST(Forest, AccuracyScore) {
  std::vector<std::int64_t> a = {1, 0, 1, 1}, b = {1, 1, 1, 1};
  EXPECT_DOUBLE_EQ(accuracy_score(a, b), 0.75);
  EXPECT_DOUBLE_EQ(accuracy_score(a, a) * 100, 100.0);
  EXPECT_TRUE(std::isnan(accuracy_score({}, {})));
  EXPECT_THROW(accuracy_score(a, std::vector<std::int64_t>{1}), std::invalid_argument);
}

TEST(Forest, PredictionEqualsAPlainWalkOfTheTrees) {
  // Signed values, repeated values and explicit zeros, three classes, so that
  // thresholds fall below, at and above zero.
  std::mt19937 rng(7);
  auto random_matrix = [&](int rows, int cols, bool with_zeros) {
    CsrMatrix m;
    m.n_rows = rows;
    m.n_cols = cols;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        if (rng() % 3 != 0) continue;
        int v = static_cast<int>(rng() % 9) - 4;
        if (v == 0 && !with_zeros) continue;
        m.indices.push_back(c);
        m.data.push_back(v / 4.0);
      }
      m.indptr.push_back(m.nnz());
    }
    return m;
  };
  CsrMatrix x = random_matrix(300, 25, false);
  std::vector<std::int64_t> y;
  for (int r = 0; r < 300; ++r) y.push_back(static_cast<std::int64_t>(rng() % 3) * 5);
  RandomForestClassifier rf(15);
  rf.fit(x, y);
  expect_plain_walk(rf, random_matrix(400, 25, true));
}

TEST(Forest, FixtureModelsPredictAsAPlainWalk) {
  // The reference cases' models on their test texts, on empty and one-letter
  // texts, on texts of n-grams the vocabulary lacks and on texts of one or
  // three known n-grams, repeated past the size of a block of rows.
  Json fx = fixture("forest.json");
  for (const Json& c : fx["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    auto train = c["train"].get<std::vector<std::string>>();
    TfidfVectorizer v;
    CsrMatrix x = v.fit_transform(train);
    RandomForestClassifier rf(c["n_estimators"].get<int>());
    rf.fit(x, c["y"].get<std::vector<std::int64_t>>());
    std::vector<std::string> texts = c["test"].get<std::vector<std::string>>();
    texts.insert(texts.end(), {"", " ", "a", "\u00e9", "qqxqqzx\u4e2d\u6587", "zz " + train.front()});
    texts.insert(texts.end(), train.begin(), train.end());
    for (const std::string& t : train) texts.insert(texts.end(), {t.substr(0, 2), t.substr(0, 3)});
    for (std::size_t i = 0; texts.size() < 150; ++i) texts.push_back(texts[i]);
    expect_plain_walk(rf, v.transform(texts));
    expect_plain_walk(rf, x);
  }
}

TEST(Forest, ThresholdsCompareAsDoubles) {
  // A row goes left when float(x) <= threshold in double: thresholds between
  // neighbouring floats, of both signs, tiny and beyond the float range.
  const float a = 0.1f, b = std::nextafter(a, 1.0f), tiny = std::numeric_limits<float>::denorm_min(),
              big = std::numeric_limits<float>::max();
  const double mid = (static_cast<double>(a) + static_cast<double>(b)) / 2;
  const std::vector<double> thresholds = {mid,     -mid,  0.0,    -0.0, 1e-300,
                                          -1e-300, 1e300, -1e300, a,    -static_cast<double>(b)};
  const std::vector<float> xs = {0.0f, -0.0f, a, b, -a, -b, tiny, -tiny, big, -big, 1e-30f};
  for (double t : thresholds) {
    SCOPED_TRACE(t);
    Tree tree;
    tree.nodes = {{t, 1, 2}, {0.0, -1, 0}, {0.0, -1, 1}};
    tree.leaf_counts = {2, 0, 0, 3};
    RandomForestClassifier rf = RandomForestClassifier::from_parts(1, 1, 3, {0, 1}, {tree});
    CsrMatrix x;
    x.n_cols = 3;
    std::vector<std::int64_t> want;
    for (float v : xs) {
      x.indices.push_back(1);
      x.data.push_back(v);
      x.indptr.push_back(x.nnz());
      want.push_back(static_cast<double>(v) <= t ? 0 : 1);
    }
    x.indptr.push_back(x.nnz());  // the feature missing: 0
    want.push_back(0.0 <= t ? 0 : 1);
    x.n_rows = static_cast<std::int64_t>(want.size());
    EXPECT_EQ(rf.predict(x), want);
  }
}

TEST(Forest, HugeFeatureIndexNeedsNoHugeBuffer) {
  // One split on feature 2^31-2 of a forest over 2^31-1 features.
  const std::int32_t f = INT32_MAX - 1;
  Tree t;
  t.nodes = {{0.5, f, 2}, {0.0, -1, 0}, {0.0, -1, 1}};
  t.leaf_counts = {3, 0, 0, 2};
  RandomForestClassifier rf = RandomForestClassifier::from_parts(1, 1, INT32_MAX, {0, 1}, {t});
  CsrMatrix x;
  x.n_rows = 2;
  x.n_cols = INT32_MAX;
  x.indptr = {0, 1, 1};
  x.indices = {f};
  x.data = {0.9};
  EXPECT_EQ(rf.predict(x), (std::vector<std::int64_t>{1, 0}));
}
