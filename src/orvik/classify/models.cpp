#include "orvik/classify/models.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <filesystem>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/data/hosts.h"
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

// This thread's labels of the caches it used lately, by cache id.
LabelTable& local_labels(std::uint64_t id) {
  constexpr std::size_t kLocalCaches = 16;
  thread_local std::unordered_map<std::uint64_t, std::unique_ptr<LabelTable>> local;
  thread_local std::uint64_t last_id = 0;
  thread_local LabelTable* last = nullptr;
  if (last && last_id == id) return *last;
  auto it = local.find(id);
  if (it == local.end()) {
    if (local.size() >= kLocalCaches) local.clear();
    it = local.emplace(id, std::make_unique<LabelTable>()).first;
  }
  last_id = id;
  last = it->second.get();
  return *last;
}

// Zone + '\0' + value, in a buffer of this thread, and its hash.
std::uint64_t cache_key(std::string_view z, std::string_view value, const std::string*& key) {
  thread_local std::string buf;
  buf.assign(z).push_back('\0');
  buf.append(value);
  key = &buf;
  return std::hash<std::string_view>{}(buf);
}

}  // namespace

int LabelTable::find(std::uint64_t h, std::string_view key) const {
  if (slots_.empty()) return -1;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.label < 0) return -1;
    if (s.hash == h && same(s, key)) return s.label;
  }
}

std::uint32_t LabelTable::store(std::string_view key) {
  if (block_ < blocks_.size() && block_used_ + key.size() > kBlockBytes) ++block_, block_used_ = 0;
  if (block_ == blocks_.size()) blocks_.push_back(std::make_unique<char[]>(kBlockBytes));
  std::memcpy(blocks_[block_].get() + block_used_, key.data(), key.size());
  const std::size_t off = block_ * kBlockBytes + block_used_;
  block_used_ += key.size();
  return static_cast<std::uint32_t>(off);
}

void LabelTable::put(std::uint64_t h, std::string_view key, std::int8_t label) {
  if (key.size() > kMaxKeyBytes) return;
  if (used_ >= kMaxEntries) clear();
  // At most half full.
  if ((used_ + 1) * 2 > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.label >= 0 && !(s.hash == h && same(s, key))) continue;
    if (s.label < 0) {
      ++used_;
      s = Slot{h, store(key), static_cast<std::uint16_t>(key.size()), label};
    }
    s.label = label;
    return;
  }
}

void LabelTable::clear() {
  std::fill(slots_.begin(), slots_.end(), Slot{});
  block_ = block_used_ = 0;
  used_ = 0;
}

void LabelTable::grow() {
  std::vector<Slot> old(std::max(kFirstSlots, slots_.size() * 2));
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.label < 0) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].label >= 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

PredictionCache::PredictionCache() : id_(++g_cache_ids) {}

int PredictionCache::find(std::string_view z, std::string_view value) const {
  if (value.size() > kMaxValueBytes) return -1;
  const std::string* key = nullptr;
  const std::uint64_t h = cache_key(z, value, key);
  LabelTable& local = local_labels(id_);
  if (const int known = local.find(h, *key); known >= 0) return known;
  int label;
  {
    const Shard& s = shards_[shard_of(h)];
    std::lock_guard lk(s.mu);
    label = s.labels.find(h, *key);
  }
  if (label >= 0) local.put(h, *key, static_cast<std::int8_t>(label));
  return label;
}

void PredictionCache::put(std::string_view z, std::string_view value, std::int64_t label) {
  if (value.size() > kMaxValueBytes || label < 0 || label > 127) return;
  const std::string* key = nullptr;
  const std::uint64_t h = cache_key(z, value, key);
  local_labels(id_).put(h, *key, static_cast<std::int8_t>(label));
  Shard& s = shards_[shard_of(h)];
  std::lock_guard lk(s.mu);
  s.labels.put(h, *key, static_cast<std::int8_t>(label));
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
    // The list is matched with the host as listed; the file-name-safe form
    // only names the model files.
    for (const auto& h : mlvh_list) {
      bool covered = h == vhost;
      if (!covered && h.starts_with(".")) covered = vhost.find(std::string_view(h).substr(1)) != std::string::npos;
      if (!covered && h.starts_with("*.")) {
        const std::string_view rest = std::string_view(h).substr(2);
        covered = rest != vhost && vhost.find(rest) != std::string::npos;
      }
      if (!covered) covered = h == "*";
      if (covered) return store.load(models_dir, core::vhost_normalization(vhost), sink);
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
