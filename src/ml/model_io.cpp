#include "ml/model_io.h"

#include <openssl/evp.h>

#include <bit>
#include <cstring>
#include <vector>

#include "shared/runtime/fileio.h"

namespace tessel::ml {

namespace {

constexpr char kMagic[8] = {'T', 'E', 'S', 'S', 'E', 'L', 'M', 'L'};
constexpr std::uint32_t kKindVectorizers = 1;
constexpr std::uint32_t kKindForests = 2;
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8;
constexpr std::size_t kDigestSize = 32;

std::string sha256(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1 || len != kDigestSize)
    throw std::runtime_error("SHA-256 failed");
  return std::string(reinterpret_cast<const char*>(md), len);
}

class Writer {
 public:
  void u32(std::uint32_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void i32(std::int32_t v) { put(static_cast<std::uint32_t>(v), 4); }
  void i64(std::int64_t v) { put(static_cast<std::uint64_t>(v), 8); }
  void f64(double v) { put(std::bit_cast<std::uint64_t>(v), 8); }
  void str(std::string_view s) {
    u64(s.size());
    out.append(s);
  }
  std::string out;

 private:
  void put(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
};

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  std::uint32_t u32() { return static_cast<std::uint32_t>(get(4)); }
  std::uint64_t u64() { return get(8); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  double f64() { return std::bit_cast<double>(get(8)); }
  std::string str() {
    std::uint64_t n = u64();
    need(n);
    std::string out(s_.substr(pos_, n));
    pos_ += n;
    return out;
  }
  // A count of items of at least item_size bytes each that must still fit.
  std::uint64_t count(std::uint64_t item_size) {
    std::uint64_t n = u64();
    if (item_size != 0 && n > (s_.size() - pos_) / item_size) fail("count exceeds the file size");
    return n;
  }
  bool done() const { return pos_ == s_.size(); }
  [[noreturn]] static void fail(const std::string& what) { throw ModelFormatError("damaged model file: " + what); }

 private:
  void need(std::uint64_t n) {
    if (n > s_.size() - pos_) fail("unexpected end of data");
  }
  std::uint64_t get(int n) {
    need(n);
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(s_[pos_ + i])) << (8 * i);
    pos_ += n;
    return v;
  }
  std::string_view s_;
  std::size_t pos_ = 0;
};

void write_vectorizer(Writer& w, const TfidfVectorizer& v) {
  if (!v.fitted()) throw std::invalid_argument("cannot save a vectoriser that is not fitted");
  w.u64(v.keys().size());
  for (std::uint64_t k : v.keys()) w.u64(k);
  for (double d : v.idf()) w.f64(d);
}

TfidfVectorizer read_vectorizer(Reader& r) {
  std::uint64_t n = r.count(16);
  std::vector<std::uint64_t> keys(n);
  std::vector<double> idf(n);
  for (auto& k : keys) k = r.u64();
  for (auto& d : idf) d = r.f64();
  try {
    return TfidfVectorizer::from_parts(std::move(keys), std::move(idf));
  } catch (const std::invalid_argument& e) {
    Reader::fail(e.what());
  }
}

void write_forest(Writer& w, const RandomForestClassifier& f) {
  if (!f.fitted()) throw std::invalid_argument("cannot save a forest that is not fitted");
  w.u32(static_cast<std::uint32_t>(f.n_estimators()));
  w.u32(f.random_state());
  w.i64(f.n_features());
  w.u64(f.classes().size());
  for (std::int64_t c : f.classes()) w.i64(c);
  w.u64(f.trees().size());
  for (const Tree& t : f.trees()) {
    w.u64(t.nodes.size());
    for (const TreeNode& n : t.nodes) {
      w.i32(n.feature);
      w.i32(n.right);
      w.f64(n.threshold);
    }
    w.u64(t.leaf_counts.size());
    for (double d : t.leaf_counts) w.f64(d);
  }
}

RandomForestClassifier read_forest(Reader& r) {
  std::uint32_t n_estimators = r.u32();
  std::uint32_t random_state = r.u32();
  std::int64_t n_features = r.i64();
  std::vector<std::int64_t> classes(r.count(8));
  for (auto& c : classes) c = r.i64();
  std::vector<Tree> trees(r.count(16));
  for (Tree& t : trees) {
    t.nodes.resize(r.count(16));
    for (TreeNode& n : t.nodes) {
      n.feature = r.i32();
      n.right = r.i32();
      n.threshold = r.f64();
    }
    t.leaf_counts.resize(r.count(8));
    for (double& d : t.leaf_counts) d = r.f64();
  }
  if (n_estimators < 1 || n_estimators > INT32_MAX || trees.size() != n_estimators)
    Reader::fail("tree count does not match");
  try {
    return RandomForestClassifier::from_parts(static_cast<int>(n_estimators), random_state, n_features,
                                              std::move(classes), std::move(trees));
  } catch (const std::invalid_argument& e) {
    Reader::fail(e.what());
  }
}

template <class Map, class ReadModel>
Map read_map(Reader& r, ReadModel read_model) {
  Map m;
  std::uint64_t n = r.count(8 + 8);
  for (std::uint64_t i = 0; i < n; ++i) {
    std::string zone = r.str();
    if (!m.empty() && !(m.rbegin()->first < zone)) Reader::fail("zones out of order");
    m.emplace_hint(m.end(), std::move(zone), read_model(r));
  }
  return m;
}

std::string describe_foreign(std::string_view b) {
  if (b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0x80 && static_cast<unsigned char>(b[1]) <= 5)
    return "not a model file of this service: it is a Python pickle (the host's models must be trained again)";
  if (b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0x1F && static_cast<unsigned char>(b[1]) == 0x8B)
    return "not a model file of this service: it is gzip-compressed data";
  return "not a model file of this service (unknown format)";
}

}  // namespace

namespace detail {

std::string seal(std::uint32_t kind, std::string_view payload, std::uint32_t version) {
  Writer w;
  w.out.append(kMagic, sizeof kMagic);
  w.u32(version);
  w.u32(kind);
  w.u64(payload.size());
  w.out.append(payload);
  w.out.append(sha256(payload));
  return std::move(w.out);
}

}  // namespace detail

std::string to_bytes(const ZoneModels& models, const ZoneNames& left_out) {
  for (std::size_t i = 0; i < left_out.size(); ++i) {
    if (i > 0 && !(left_out[i - 1] < left_out[i]))
      throw std::invalid_argument("left-out zones must be distinct and in name order");
    if (std::visit([&](const auto& m) { return m.contains(left_out[i]); }, models))
      throw std::invalid_argument("zone " + left_out[i] + " is both modelled and left out");
  }
  Writer w;
  std::uint32_t kind;
  if (const auto* v = std::get_if<VectorizerMap>(&models)) {
    kind = kKindVectorizers;
    w.u64(v->size());
    for (const auto& [zone, vect] : *v) {
      w.str(zone);
      write_vectorizer(w, vect);
    }
  } else {
    kind = kKindForests;
    const auto& f = std::get<ForestMap>(models);
    w.u64(f.size());
    for (const auto& [zone, forest] : f) {
      w.str(zone);
      write_forest(w, forest);
    }
  }
  // Nothing left out: the version 1 layout, which older readers know.
  if (left_out.empty()) return detail::seal(kind, w.out, 1);
  w.u64(left_out.size());
  for (const auto& zone : left_out) w.str(zone);
  return detail::seal(kind, w.out, 2);
}

ModelFile read_model_bytes(std::string_view bytes) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    throw ModelFormatError(describe_foreign(bytes));
  if (bytes.size() < kHeaderSize + kDigestSize) Reader::fail("truncated header");
  Reader h(bytes.substr(sizeof kMagic, kHeaderSize - sizeof kMagic));
  std::uint32_t version = h.u32();
  std::uint32_t kind = h.u32();
  std::uint64_t size = h.u64();
  if (version < 1 || version > kModelFormatVersion)
    throw ModelFormatError("model file format version " + std::to_string(version) +
                           " is not supported (expected 1 to " + std::to_string(kModelFormatVersion) + ")");
  if (size != bytes.size() - kHeaderSize - kDigestSize) Reader::fail("size does not match (truncated or extended)");
  std::string_view payload = bytes.substr(kHeaderSize, size);
  if (sha256(payload) != bytes.substr(kHeaderSize + size)) Reader::fail("checksum mismatch");
  Reader r(payload);
  ModelFile out;
  if (kind == kKindVectorizers) {
    out.models = read_map<VectorizerMap>(r, read_vectorizer);
  } else if (kind == kKindForests) {
    out.models = read_map<ForestMap>(r, read_forest);
  } else {
    Reader::fail("unknown content kind " + std::to_string(kind));
  }
  if (version >= 2) {
    const std::uint64_t n = r.count(8);
    for (std::uint64_t i = 0; i < n; ++i) {
      std::string zone = r.str();
      if (!out.left_out.empty() && !(out.left_out.back() < zone)) Reader::fail("left-out zones out of order");
      if (std::visit([&](const auto& m) { return m.contains(zone); }, out.models))
        Reader::fail("zone " + zone + " is both modelled and left out");
      out.left_out.push_back(std::move(zone));
    }
  }
  if (!r.done()) Reader::fail("trailing data");
  return out;
}

ZoneModels from_bytes(std::string_view bytes) { return read_model_bytes(bytes).models; }

void save_file(const ZoneModels& models, const std::string& path, const ZoneNames& left_out) {
  write_file_atomic(path, to_bytes(models, left_out));
}

ModelFile read_model_file(const std::string& path) {
  std::string why;
  auto bytes = read_whole_file(path, &why);
  if (!bytes) throw std::runtime_error("cannot read " + path + ": " + why);
  return read_model_bytes(*bytes);
}

ZoneModels load_file(const std::string& path) { return read_model_file(path).models; }

}  // namespace tessel::ml
