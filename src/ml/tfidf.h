#pragma once
// TF-IDF over character 2- and 3-grams of lower-cased text.
//
// Text is lower-cased as Python's str.lower() does, every run of two or more
// whitespace code points becomes one space, and the n-grams are taken over
// code points (a byte that starts no UTF-8 sequence counts as U+FFFD; lone
// surrogates in their 3-byte form are kept). Features are the n-grams
// of the fitted texts in code-point order; values are raw counts times the
// smooth idf ln((n+1)/(df+1)) + 1, each row scaled to unit L2 norm. N-grams
// not seen in fit are ignored by transform.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ml/sparse.h"

namespace tessel::ml {

class TfidfVectorizer {
 public:
  // Learns vocabulary and idf. Throws std::invalid_argument when the texts
  // hold no n-gram ("empty vocabulary; ..."). n_jobs <= 0: all cores.
  void fit(std::span<const std::string> docs, int n_jobs = -1);
  CsrMatrix fit_transform(std::span<const std::string> docs, int n_jobs = -1);

  // One row per text. Throws std::logic_error before fit. The second form
  // reuses out's storage.
  // n_jobs != 1 splits a large batch over threads.
  CsrMatrix transform(std::span<const std::string> docs, int n_jobs = 1) const;
  CsrMatrix transform(std::span<const std::string_view> docs, int n_jobs = 1) const;
  void transform(std::span<const std::string_view> docs, CsrMatrix& out, int n_jobs = 1) const;

  bool fitted() const { return !keys_.empty(); }
  std::size_t n_features() const { return keys_.size(); }
  // The n-grams in feature order, as UTF-8.
  std::vector<std::string> vocabulary() const;
  const std::vector<double>& idf() const { return idf_; }

  // Packed n-grams in feature order: (c0+1)<<42 | (c1+1)<<21 | (c2+1 or 0).
  const std::vector<std::uint64_t>& keys() const { return keys_; }
  // Rebuilds a fitted vectoriser from its parts (used by model loading).
  // Throws std::invalid_argument when they are inconsistent.
  static TfidfVectorizer from_parts(std::vector<std::uint64_t> keys, std::vector<double> idf);

 private:
  template <class Str>
  void transform_impl(std::span<const Str> docs, CsrMatrix& out, int n_jobs) const;
  template <class Str>
  void transform_rows(std::span<const Str> docs, CsrMatrix& out) const;
  void build_index();

  std::vector<std::uint64_t> keys_;
  std::vector<double> idf_;
  // Open-addressing table key -> feature; empty slots hold key 0.
  struct Slot {
    std::uint64_t key;
    std::int64_t feature;
  };
  std::vector<Slot> slots_;
  int shift_ = 64;
};

// Decodes, lower-cases and folds whitespace as the vectoriser does; exposed
// for tests.
std::u32string analyze_text(std::string_view text);

}  // namespace tessel::ml
