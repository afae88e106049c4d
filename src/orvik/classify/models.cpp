#include "orvik/classify/models.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>

#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "core/log.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::orvik {


ModelStore::Stamp ModelStore::stamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return {true, static_cast<long long>(st.st_size),
          static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec,
          static_cast<unsigned long long>(st.st_ino)};
}

std::size_t ModelStore::loads() const {
  std::lock_guard lk(mu_);
  return loads_;
}

namespace {

std::atomic<std::uint64_t> g_cache_ids{0};

// This thread's labels of one cache: open addressing on the key's hash,
// the keys in one buffer; emptied when half full.
class LocalLabels {
 public:
  static constexpr std::size_t kSlots = 16384, kMaxEntries = kSlots / 2;

  int find(std::uint64_t h, std::string_view key) const {
    for (std::size_t i = h & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
      const Slot& s = slots_[i];
      if (s.label < 0) return -1;
      if (s.hash == h && same(s, key)) return s.label;
    }
  }

  void put(std::uint64_t h, std::string_view key, std::int8_t label) {
    if (used_ >= kMaxEntries) clear();
    for (std::size_t i = h & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
      Slot& s = slots_[i];
      if (s.label >= 0 && !(s.hash == h && same(s, key))) continue;
      if (s.label < 0) {
        ++used_;
        s = Slot{h, static_cast<std::uint32_t>(keys_.size()), static_cast<std::uint32_t>(key.size()), label};
        keys_.append(key);
      }
      s.label = label;
      return;
    }
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t off = 0, len = 0;
    std::int8_t label = -1;  // -1: free
  };
  bool same(const Slot& s, std::string_view key) const {
    return s.len == key.size() && std::string_view(keys_).substr(s.off, s.len) == key;
  }
  void clear() {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    keys_.clear();
    used_ = 0;
  }

  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
  std::string keys_ = reserved_keys();
  std::size_t used_ = 0;

  // Room for the keys of a full table of values of typical length, so the
  // buffer is not copied over and over while the table fills.
  static std::string reserved_keys() {
    std::string k;
    k.reserve(kMaxEntries * 64);
    return k;
  }
};

// This thread's labels of the caches it used lately, by cache id.
LocalLabels& local_labels(std::uint64_t id) {
  constexpr std::size_t kLocalCaches = 16;
  thread_local std::unordered_map<std::uint64_t, std::unique_ptr<LocalLabels>> local;
  thread_local std::uint64_t last_id = 0;
  thread_local LocalLabels* last = nullptr;
  if (last && last_id == id) return *last;
  auto it = local.find(id);
  if (it == local.end()) {
    if (local.size() >= kLocalCaches) local.clear();
    it = local.emplace(id, std::make_unique<LocalLabels>()).first;
  }
  last_id = id;
  last = it->second.get();
  return *last;
}

// Zone + '\0' + value, in a buffer of this thread.
const std::string& cache_key(std::string_view z, std::string_view value) {
  thread_local std::string key;
  key.assign(z).push_back('\0');
  key.append(value);
  return key;
}

}  // namespace

PredictionCache::PredictionCache() : id_(++g_cache_ids) {}

std::size_t PredictionCache::shard_of(std::string_view z, std::string_view value) {
  return (std::hash<std::string_view>{}(value) ^ (z.size() * 0x9e3779b97f4a7c15ULL)) % kShards;
}

int PredictionCache::find(std::string_view z, std::string_view value) const {
  if (value.size() > kMaxValueBytes) return -1;
  const std::string& key = cache_key(z, value);
  const std::uint64_t h = std::hash<std::string_view>{}(key);
  LocalLabels& local = local_labels(id_);
  if (const int known = local.find(h, key); known >= 0) return known;
  std::int8_t label;
  {
    const Shard& s = shards_[shard_of(z, value)];
    std::lock_guard lk(s.mu);
    auto it = s.labels.find(key);
    if (it == s.labels.end()) return -1;
    label = it->second;
  }
  local.put(h, key, label);
  return label;
}

void PredictionCache::put(std::string_view z, std::string_view value, std::int64_t label) {
  if (value.size() > kMaxValueBytes || label < 0 || label > 127) return;
  std::string key = cache_key(z, value);
  local_labels(id_).put(std::hash<std::string_view>{}(key), key, static_cast<std::int8_t>(label));
  Shard& s = shards_[shard_of(z, value)];
  std::lock_guard lk(s.mu);
  if (s.labels.size() >= kShardEntries) s.labels.clear();
  s.labels.emplace(std::move(key), static_cast<std::int8_t>(label));
}

ClassifyModels ModelStore::load(const std::string& models_dir, const std::string& vhost, const LogSink& sink) {
  const std::string rf_path = (std::filesystem::path(models_dir) / core::model_rf_name(vhost)).string();
  const std::string vect_path = (std::filesystem::path(models_dir) / core::model_vect_name(vhost)).string();
  const Stamp rf_st = stamp(rf_path), vect_st = stamp(vect_path);
  if (!rf_st.exists && !vect_st.exists) return {};
  // One reader at a time: a changed host is read once, not by every worker
  // that meets it.
  std::lock_guard lk(mu_);
  auto it = entries_.find(rf_path);
  if (it != entries_.end() && it->second.rf == rf_st && it->second.vect == vect_st) return it->second.models;
  ++loads_;
  ClassifyModels loaded{tessel_models_load(models_dir, vhost, sink), nullptr};
  if (loaded.usable()) loaded.cache = std::make_shared<PredictionCache>();
  // The outcome is kept until a file changes, a failed load included.
  entries_[rf_path] = Entry{rf_st, vect_st, loaded};
  return loaded;
}

ClassifyModels models_applications(ModelStore& store, const std::string& models_dir,
                                  const std::vector<std::string>& mlvh_list, const std::string& vhost,
                                  const LogSink& sink) {
  try {
    for (const auto& h : mlvh_list) {
      bool covered = h == vhost;
      if (!covered && h.starts_with("."))
        covered = vhost.find(std::string_view(h).substr(1)) != std::string::npos;
      if (!covered && h.starts_with("*.")) {
        const std::string_view rest = std::string_view(h).substr(2);
        covered = rest != vhost && vhost.find(rest) != std::string::npos;
      }
      if (!covered) covered = h == "*";
      if (covered) return store.load(models_dir, vhost, sink);
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "ml", "An error occurred while loading model for " + vhost + ": " + e.what());
  }
  return {};
}

AnalysisResult ml_analysis(const ml::RandomForestClassifier& rf, const ml::TfidfVectorizer& vect,
                           const Json& request_id, const Json& vhost, std::string_view z,
                           const std::vector<std::string_view>& data_list, const LogSink& sink,
                           PredictionCache* cache) {
  AnalysisResult out;
  try {
    // Kept per thread: a zone's values need no fresh buffers.
    thread_local ml::CsrMatrix X;
    thread_local std::vector<std::int64_t> labels, fresh;
    thread_local std::vector<std::string_view> unknown;
    thread_local std::vector<std::size_t> unknown_pos;
    labels.assign(data_list.size(), 0);
    unknown.clear();
    unknown_pos.clear();
    for (std::size_t i = 0; i < data_list.size(); ++i) {
      const int known = cache ? cache->find(z, data_list[i]) : -1;
      if (known >= 0) {
        labels[i] = known;
      } else {
        unknown.push_back(data_list[i]);
        unknown_pos.push_back(i);
      }
    }
    if (!unknown.empty()) {
      vect.transform(std::span<const std::string_view>(unknown), X);
      rf.predict(X, fresh);
      for (std::size_t k = 0; k < unknown.size() && k < fresh.size(); ++k) {
        labels[unknown_pos[k]] = fresh[k];
        if (cache) cache->put(z, unknown[k], fresh[k]);
      }
    }
    std::int64_t sum = 0;
    for (auto l : labels) sum += l;
    if (sum <= 0) return out;
    out.res = true;
    for (std::size_t i = 0; i < labels.size(); ++i)
      if (labels[i] == 1) out.res_list.push_back(data_list[i]);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "ml",
                         "An error occurred while predicting data of request " + py_str(request_id) + " (" +
                             py_str(vhost) + ") in zone " + core::zone_replace(std::string(z)) + ": " + e.what());
  }
  return out;
}

}  // namespace tessel::orvik
