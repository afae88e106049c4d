#include "ml/tfidf.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>

#include "ml/parallel.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/utf8.h"

namespace tessel::ml {

namespace {

constexpr std::uint64_t kHashMul = 0x9E3779B97F4A7C15ull;

// Python's \s in str patterns.
constexpr bool is_py_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size(), i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) & 0x80) return false;
  return true;
}

// Appends cps to out with every run of two or more whitespace code points
// replaced by one space.
template <class Get>
void fold_spaces(std::size_t n, Get get, std::vector<char32_t>& out) {
  for (std::size_t i = 0; i < n;) {
    char32_t c = get(i);
    if (!is_py_space(c)) {
      out.push_back(c);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < n && is_py_space(get(j))) ++j;
    out.push_back(j - i >= 2 ? U' ' : c);
    i = j;
  }
}

void analyze_into(std::string_view text, std::vector<char32_t>& out) {
  out.clear();
  if (is_ascii(text)) {
    auto get = [&](std::size_t i) -> char32_t {
      char32_t c = static_cast<unsigned char>(text[i]);
      return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    };
    fold_spaces(text.size(), get, out);
    return;
  }
  std::string lowered = py_lower(text);
  thread_local std::vector<char32_t> cps;
  cps.clear();
  for (std::size_t i = 0; i < lowered.size();) cps.push_back(wtf8_next(lowered, i));
  fold_spaces(
      cps.size(), [&](std::size_t i) { return cps[i]; }, out);
}

inline std::uint64_t pack2(char32_t a, char32_t b) {
  return (static_cast<std::uint64_t>(a + 1) << 42) | (static_cast<std::uint64_t>(b + 1) << 21);
}
inline std::uint64_t pack3(char32_t a, char32_t b, char32_t c) {
  return pack2(a, b) | static_cast<std::uint64_t>(c + 1);
}

// Calls emit(key) for every 2-gram, then every 3-gram, in position order.
template <class Emit>
void for_each_ngram(const std::vector<char32_t>& c, Emit emit) {
  std::size_t n = c.size();
  if (n < 2) return;
  for (std::size_t i = 0; i + 1 < n; ++i) emit(pack2(c[i], c[i + 1]));
  for (std::size_t i = 0; i + 2 < n; ++i) emit(pack3(c[i], c[i + 1], c[i + 2]));
}

int table_shift(std::size_t entries) {
  std::size_t cap = 16;
  while (cap < entries * 2) cap <<= 1;
  return 64 - std::countr_zero(cap);
}

// Growable open-addressing map uint64 -> int32 (key 0 is never stored).
class KeyMap {
 public:
  explicit KeyMap(std::size_t expected = 16) { rehash(table_shift(expected)); }
  void clear_for(std::size_t expected) {
    int s = table_shift(expected);
    if (s != shift_) {
      rehash(s);
    } else {
      std::fill(keys_.begin(), keys_.end(), 0);
    }
    size_ = 0;
  }
  // Returns the value for key, inserting next_value when absent.
  std::int32_t get_or_insert(std::uint64_t key, std::int32_t next_value, bool& inserted) {
    std::size_t mask = keys_.size() - 1;
    std::size_t i = (key * kHashMul) >> shift_;
    while (true) {
      std::uint64_t k = keys_[i];
      if (k == key) {
        inserted = false;
        return values_[i];
      }
      if (k == 0) break;
      i = (i + 1) & mask;
    }
    keys_[i] = key;
    values_[i] = next_value;
    inserted = true;
    if (++size_ * 2 > keys_.size()) grow();
    return next_value;
  }
  std::size_t size() const { return size_; }

 private:
  void rehash(int shift) {
    shift_ = shift;
    std::size_t cap = std::size_t{1} << (64 - shift);
    keys_.assign(cap, 0);
    values_.assign(cap, 0);
  }
  void grow() {
    std::vector<std::uint64_t> ok = std::move(keys_);
    std::vector<std::int32_t> ov = std::move(values_);
    rehash(shift_ - 1);
    std::size_t mask = keys_.size() - 1;
    for (std::size_t j = 0; j < ok.size(); ++j) {
      if (ok[j] == 0) continue;
      std::size_t i = (ok[j] * kHashMul) >> shift_;
      while (keys_[i] != 0) i = (i + 1) & mask;
      keys_[i] = ok[j];
      values_[i] = ov[j];
    }
  }
  std::vector<std::uint64_t> keys_;
  std::vector<std::int32_t> values_;
  std::size_t size_ = 0;
  int shift_ = 60;
};

// Distinct n-grams of one block of texts, in first-occurrence order per
// text, with their counts.
struct Block {
  std::vector<std::uint64_t> keys;
  std::vector<std::int32_t> ids;  // first-occurrence ids, filled later
  std::vector<std::int32_t> counts;
  std::vector<std::int64_t> row_nnz;
};

constexpr std::int64_t kBlockDocs = 2048;

void count_block(std::span<const std::string> docs, Block& b) {
  std::vector<char32_t> cps;
  KeyMap local(64);
  std::size_t chars = 0;
  for (const std::string& d : docs) chars += d.size();
  // At most two n-grams per code point, so at most two per byte (capped for
  // blocks of very long texts).
  std::size_t guess = std::min<std::size_t>(chars * 2, std::size_t{1} << 22);
  b.keys.reserve(guess);
  b.counts.reserve(guess);
  b.row_nnz.reserve(docs.size());
  for (const std::string& d : docs) {
    analyze_into(d, cps);
    std::size_t start = b.keys.size();
    local.clear_for(std::min<std::size_t>(cps.size() * 2, 4096));  // grows as needed
    for_each_ngram(cps, [&](std::uint64_t key) {
      bool inserted;
      std::int32_t at = local.get_or_insert(key, static_cast<std::int32_t>(b.keys.size() - start), inserted);
      if (inserted) {
        b.keys.push_back(key);
        b.counts.push_back(1);
      } else {
        ++b.counts[start + at];
      }
    });
    b.row_nnz.push_back(static_cast<std::int64_t>(b.keys.size() - start));
  }
}

// Scales one row: values are count*idf, divided by the L2 norm summed in
// descending order of order_key (the order the reference sums in).
struct Entry {
  std::int32_t order_key;
  std::int32_t feature;
  double value;
};

void normalise_row(std::vector<Entry>& row) {
  std::sort(row.begin(), row.end(), [](const Entry& a, const Entry& b) { return a.order_key > b.order_key; });
  double sum = 0.0;
  for (const Entry& e : row) sum += e.value * e.value;
  if (sum != 0.0) {
    sum = std::sqrt(sum);
    for (Entry& e : row) e.value /= sum;
  }
  std::sort(row.begin(), row.end(), [](const Entry& a, const Entry& b) { return a.feature < b.feature; });
}

// Sorts the n features at a (each below 2^bits) ascending into out. A
// counting pass on the top bits leaves each value in a bucket of about one
// entry, and an insertion pass finishes: few mispredicted branches, where a
// comparison sort of a text's unpredictably ordered features mispredicts
// about once per comparison. counts has room for 2^14 + 2 entries.
void sort_features(const std::int32_t* a, std::size_t n, int bits, std::int32_t* out, std::uint32_t* counts) {
  if (n > 4096) {
    std::copy(a, a + n, out);
    std::sort(out, out + n);
    return;
  }
  const int shift = std::max(0, bits - static_cast<int>(std::bit_width(n)));
  const std::size_t n_buckets = (((std::size_t{1} << bits) - 1) >> shift) + 1;
  std::fill(counts, counts + n_buckets + 1, 0u);
  for (std::size_t i = 0; i < n; ++i) ++counts[(static_cast<std::uint32_t>(a[i]) >> shift) + 1];
  for (std::size_t b = 1; b <= n_buckets; ++b) counts[b] += counts[b - 1];
  for (std::size_t i = 0; i < n; ++i) out[counts[static_cast<std::uint32_t>(a[i]) >> shift]++] = a[i];
  std::size_t moves = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::int32_t x = out[i];
    std::size_t j = i;
    while (j > 0 && out[j - 1] > x) {
      out[j] = out[j - 1];
      --j;
    }
    out[j] = x;
    moves += i - j;
    // Many equal top bits (a text of few distinct n-grams repeated).
    if (moves > 8 * n) {
      std::sort(out, out + n);
      return;
    }
  }
}

// Per-thread buffers of transform.
struct TransformScratch {
  std::vector<char32_t> cps;
  std::vector<std::uint64_t> grams;
  std::vector<std::int32_t> feats, sorted;
  std::vector<double> values;
  std::vector<std::uint32_t> counts = std::vector<std::uint32_t>((1u << 14) + 2);
};

// Out of line, so that the thread-local address is looked up once per call.
[[gnu::noinline]] TransformScratch& transform_scratch() {
  thread_local TransformScratch scratch;
  return scratch;
}

constexpr std::int64_t kTransformBlock = 256;

std::string ngram_text(std::uint64_t key) {
  std::string out;
  char32_t parts[3] = {static_cast<char32_t>(key >> 42), static_cast<char32_t>((key >> 21) & 0x1FFFFF),
                       static_cast<char32_t>(key & 0x1FFFFF)};
  for (char32_t p : parts)
    if (p != 0) utf8_append(out, p - 1);
  return out;
}

}  // namespace

std::u32string analyze_text(std::string_view text) {
  std::vector<char32_t> cps;
  analyze_into(text, cps);
  return std::u32string(cps.begin(), cps.end());
}

void TfidfVectorizer::fit(std::span<const std::string> docs, int n_jobs) { fit_transform(docs, n_jobs); }

CsrMatrix TfidfVectorizer::fit_transform(std::span<const std::string> docs, int n_jobs) {
  const std::int64_t n_docs = static_cast<std::int64_t>(docs.size());
  const std::int64_t n_blocks = (n_docs + kBlockDocs - 1) / kBlockDocs;
  std::vector<Block> blocks(n_blocks);
  detail::parallel_items(n_blocks, n_jobs, [&](std::int64_t b, int) {
    std::int64_t begin = b * kBlockDocs, end = std::min(n_docs, begin + kBlockDocs);
    count_block(docs.subspan(begin, end - begin), blocks[b]);
  });

  // First-occurrence ids over the whole corpus and document frequencies.
  KeyMap ids(1 << 16);
  std::vector<std::uint64_t> id_keys;
  std::vector<std::int64_t> df;
  for (Block& b : blocks) {
    b.ids.resize(b.keys.size());
    for (std::size_t i = 0; i < b.keys.size(); ++i) {
      bool inserted;
      std::int32_t id = ids.get_or_insert(b.keys[i], static_cast<std::int32_t>(id_keys.size()), inserted);
      if (inserted) {
        id_keys.push_back(b.keys[i]);
        df.push_back(0);
      }
      ++df[id];
      b.ids[i] = id;
    }
    std::vector<std::uint64_t>().swap(b.keys);
  }
  if (id_keys.empty()) throw std::invalid_argument("empty vocabulary; perhaps the documents only contain stop words");
  if (id_keys.size() > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("too many n-grams");

  std::vector<std::int32_t> order(id_keys.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) { return id_keys[a] < id_keys[b]; });
  std::vector<std::int32_t> rank(id_keys.size());
  keys_.resize(id_keys.size());
  idf_.resize(id_keys.size());
  const double n_plus = static_cast<double>(n_docs + 1);
  for (std::size_t r = 0; r < order.size(); ++r) {
    rank[order[r]] = static_cast<std::int32_t>(r);
    keys_[r] = id_keys[order[r]];
    idf_[r] = std::log(n_plus / static_cast<double>(df[order[r]] + 1)) + 1.0;
  }
  std::vector<std::uint64_t>().swap(id_keys);
  build_index();

  CsrMatrix out;
  out.n_rows = n_docs;
  out.n_cols = static_cast<std::int64_t>(keys_.size());
  out.indptr.assign(n_docs + 1, 0);
  std::vector<std::int64_t> block_start(n_blocks + 1, 0);
  {
    std::int64_t row = 0, nnz = 0;
    for (std::int64_t b = 0; b < n_blocks; ++b) {
      block_start[b] = nnz;
      for (std::int64_t k : blocks[b].row_nnz) {
        nnz += k;
        out.indptr[++row] = nnz;
      }
    }
    block_start[n_blocks] = nnz;
    out.indices.resize(nnz);
    out.data.resize(nnz);
  }
  detail::parallel_items(n_blocks, n_jobs, [&](std::int64_t bi, int) {
    Block& b = blocks[bi];
    std::vector<Entry> row;
    std::int64_t at = 0, dst = block_start[bi];
    for (std::int64_t k : b.row_nnz) {
      row.clear();
      for (std::int64_t j = at; j < at + k; ++j) {
        std::int32_t f = rank[b.ids[j]];
        row.push_back({b.ids[j], f, static_cast<double>(b.counts[j]) * idf_[f]});
      }
      at += k;
      normalise_row(row);
      for (const Entry& e : row) {
        out.indices[dst] = e.feature;
        out.data[dst] = e.value;
        ++dst;
      }
    }
    std::vector<std::int32_t>().swap(b.ids);
    std::vector<std::int32_t>().swap(b.counts);
  });
  return out;
}

void TfidfVectorizer::build_index() {
  shift_ = table_shift(keys_.size());
  std::size_t cap = std::size_t{1} << (64 - shift_);
  slots_.assign(cap, Slot{0, 0});
  for (std::size_t f = 0; f < keys_.size(); ++f) {
    std::size_t i = (keys_[f] * kHashMul) >> shift_;
    while (slots_[i].key != 0) i = (i + 1) & (cap - 1);
    slots_[i] = {keys_[f], static_cast<std::int64_t>(f)};
  }
}

template <class Str>
void TfidfVectorizer::transform_rows(std::span<const Str> docs, CsrMatrix& out) const {
  out.n_rows = static_cast<std::int64_t>(docs.size());
  out.n_cols = static_cast<std::int64_t>(keys_.size());
  out.indptr.assign(1, 0);
  out.indptr.reserve(docs.size() + 1);
  out.indices.clear();
  out.data.clear();
  // At most two n-grams per byte; reserving spares the copies of growth.
  std::size_t bytes = 0;
  for (const Str& d : docs) bytes += std::string_view(d).size();
  const std::size_t guess = std::min<std::size_t>(bytes * 2, std::size_t{1} << 24);
  out.indices.reserve(guess);
  out.data.reserve(guess);
  TransformScratch& sc = transform_scratch();
  const Slot* slots = slots_.data();
  const std::size_t mask = slots_.size() - 1;
  const int shift = shift_;
  const double* idf = idf_.data();
  const int feature_bits = static_cast<int>(std::bit_width(keys_.size() - 1));
  for (const Str& d : docs) {
    analyze_into(std::string_view(d), sc.cps);
    sc.grams.clear();
    for_each_ngram(sc.cps, [&](std::uint64_t key) {
      sc.grams.push_back(key);
      __builtin_prefetch(&slots[(key * kHashMul) >> shift]);
    });
    sc.feats.clear();
    for (std::uint64_t key : sc.grams) {
      for (std::size_t i = (key * kHashMul) >> shift;; i = (i + 1) & mask) {
        if (slots[i].key == key) {
          const std::int32_t f = static_cast<std::int32_t>(slots[i].feature);
          sc.feats.push_back(f);
          __builtin_prefetch(idf + f);
          break;
        }
        if (slots[i].key == 0) break;
      }
    }
    const std::size_t n = sc.feats.size();
    if (sc.sorted.size() < n) sc.sorted.resize(n), sc.values.resize(n);
    sort_features(sc.feats.data(), n, feature_bits, sc.sorted.data(), sc.counts.data());
    // Each feature once, count times idf, in ascending feature order.
    std::int32_t* feats = sc.sorted.data();
    double* values = sc.values.data();
    std::size_t u = 0;
    for (std::size_t i = 0; i < n;) {
      const std::int32_t f = feats[i];
      std::size_t j = i + 1;
      while (j < n && feats[j] == f) ++j;
      feats[u] = f;
      values[u++] = static_cast<double>(j - i) * idf[f];
      i = j;
    }
    // The norm is summed in descending feature order.
    double sum = 0.0;
    for (std::size_t k = u; k-- > 0;) sum += values[k] * values[k];
    if (sum != 0.0) {
      sum = std::sqrt(sum);
      for (std::size_t k = 0; k < u; ++k) values[k] /= sum;
    }
    out.indices.insert(out.indices.end(), feats, feats + u);
    out.data.insert(out.data.end(), values, values + u);
    out.indptr.push_back(static_cast<std::int64_t>(out.indices.size()));
  }
}

template <class Str>
void TfidfVectorizer::transform_impl(std::span<const Str> docs, CsrMatrix& out, int n_jobs) const {
  if (!fitted()) throw std::logic_error("the vectoriser is not fitted");
  const std::int64_t n = static_cast<std::int64_t>(docs.size());
  const std::int64_t n_blocks = (n + kTransformBlock - 1) / kTransformBlock;
  if (n_jobs == 1 || n_blocks < 2) {
    transform_rows(docs, out);
    return;
  }
  std::vector<CsrMatrix> parts(n_blocks);
  detail::parallel_items(n_blocks, n_jobs, [&](std::int64_t b, int) {
    std::int64_t begin = b * kTransformBlock;
    transform_rows(docs.subspan(begin, std::min(n, begin + kTransformBlock) - begin), parts[b]);
  });
  out.n_rows = n;
  out.n_cols = static_cast<std::int64_t>(keys_.size());
  std::vector<std::int64_t> at(n_blocks + 1, 0);
  for (std::int64_t b = 0; b < n_blocks; ++b) at[b + 1] = at[b] + parts[b].nnz();
  out.indptr.resize(n + 1);
  out.indptr[0] = 0;
  out.indices.resize(at.back());
  out.data.resize(at.back());
  detail::parallel_items(n_blocks, n_jobs, [&](std::int64_t b, int) {
    const CsrMatrix& p = parts[b];
    std::int64_t* indptr = out.indptr.data() + b * kTransformBlock;
    for (std::size_t r = 1; r < p.indptr.size(); ++r) indptr[r] = at[b] + p.indptr[r];
    std::copy(p.indices.begin(), p.indices.end(), out.indices.begin() + at[b]);
    std::copy(p.data.begin(), p.data.end(), out.data.begin() + at[b]);
  });
}

CsrMatrix TfidfVectorizer::transform(std::span<const std::string> docs, int n_jobs) const {
  CsrMatrix out;
  transform_impl(docs, out, n_jobs);
  return out;
}

CsrMatrix TfidfVectorizer::transform(std::span<const std::string_view> docs, int n_jobs) const {
  CsrMatrix out;
  transform_impl(docs, out, n_jobs);
  return out;
}

void TfidfVectorizer::transform(std::span<const std::string_view> docs, CsrMatrix& out, int n_jobs) const {
  transform_impl(docs, out, n_jobs);
}

std::vector<std::string> TfidfVectorizer::vocabulary() const {
  std::vector<std::string> out;
  out.reserve(keys_.size());
  for (std::uint64_t k : keys_) out.push_back(ngram_text(k));
  return out;
}

TfidfVectorizer TfidfVectorizer::from_parts(std::vector<std::uint64_t> keys, std::vector<double> idf) {
  if (keys.empty() || keys.size() != idf.size()) throw std::invalid_argument("vocabulary and idf do not match");
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint64_t k = keys[i];
    std::uint64_t a = k >> 42, b = (k >> 21) & 0x1FFFFF, c = k & 0x1FFFFF;
    bool ok = (k >> 63) == 0 && a >= 1 && a <= 0x110000 && b >= 1 && b <= 0x110000 && c <= 0x110000;
    if (!ok || (i > 0 && keys[i - 1] >= k)) throw std::invalid_argument("bad vocabulary entry");
    if (!std::isfinite(idf[i])) throw std::invalid_argument("bad idf value");
  }
  TfidfVectorizer v;
  v.keys_ = std::move(keys);
  v.idf_ = std::move(idf);
  v.build_index();
  return v;
}

}  // namespace tessel::ml
