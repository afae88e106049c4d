#pragma once
// The compiled predictor: the prediction form of a fitted forest, built from
// its trees. Internal to src/ml; forest.h holds it behind a pointer.
//
// The nodes of all trees in order, one bit per node in the bitmaps; a walk
// passes every node whose feature the row lacks when that node sends zero
// left (to the next node). The other nodes are stops: the leaves and the
// nodes that send zero right (stop_bits_), and the nodes of the row's own
// features (node_pos_, grouped by slot).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ml/forest.h"
#include "ml/sparse.h"

namespace tessel::ml::detail {

class CompiledForest {
 public:
  // Throws std::length_error when the forest has too many nodes.
  CompiledForest(const std::vector<Tree>& trees, std::size_t n_classes);

  // X is already checked against the forest. out has a slot per row (predict)
  // or n_classes per row (predict_proba).
  void predict(const CsrMatrix& X, std::span<const std::int64_t> classes, std::int64_t* out, int n_jobs) const;
  void predict_proba(const CsrMatrix& X, double* out, int n_jobs) const;

 private:
  struct FastNode {
    float threshold;       // largest float <= the double threshold
    std::int32_t feature;  // feature slot
    std::int32_t right;    // index in fast_nodes_
  };
  // Calls sink(row, proba) for every row, proba holding n_classes values.
  template <class Sink>
  void run_rows(const CsrMatrix& X, int n_jobs, Sink&& sink) const;

  std::size_t k_;
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
  // The features the trees test get compact slots: slot by feature, -1 for
  // the others (up to the largest feature tested).
  std::vector<std::int32_t> slot_of_feature_;
  std::int32_t n_slots_ = 0;
};

}  // namespace tessel::ml::detail
