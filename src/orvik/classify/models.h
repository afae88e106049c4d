#pragma once
// The per-zone models of the protected hosts, loaded once and shared by the
// classification workers, and the model step of one zone.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ml/model_io.h"
#include "orvik/training/model_store.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

// Labels by key: open addressing on the key's hash, the keys in blocks
// that are kept when the table is emptied (growing moves no key); grows up
// to kMaxEntries entries and is emptied when that full. Not thread-safe.
class LabelTable {
 public:
  static constexpr std::size_t kMaxEntries = 8192;
  static constexpr std::size_t kMaxKeyBytes = 16384;  // longer keys are not kept

  // The label of `key` (hash h), -1 when not known.
  int find(std::uint64_t h, std::string_view key) const;
  void put(std::uint64_t h, std::string_view key, std::int8_t label);

 private:
  static constexpr std::size_t kBlockBytes = kMaxKeyBytes;
  static constexpr std::size_t kFirstSlots = 1024;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t off = 0;  // block * kBlockBytes + offset in the block
    std::uint16_t len = 0;
    std::int8_t label = -1;  // -1: free
  };
  bool same(const Slot& s, std::string_view key) const {
    if (s.len != key.size()) return false;
    return key.empty() || std::string_view(blocks_[s.off / kBlockBytes].get() + s.off % kBlockBytes, s.len) == key;
  }
  std::uint32_t store(std::string_view key);
  void clear();
  void grow();

  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_ = 0, block_used_ = 0;  // the block keys go to, and its bytes taken
  std::size_t used_ = 0;
};

// Labels the models gave to zone values, kept with the models they came
// from: a value seen before is not vectorised and predicted again. Bounded
// (a full shard is emptied); long values are not kept. Thread-safe: each
// thread keeps the labels it met in front of the shared, locked shards, so
// values every request carries do not make the threads queue on one lock.
class PredictionCache {
 public:
  PredictionCache();

  // -1 when the value of zone `z` is not known.
  int find(std::string_view z, std::string_view value) const;
  void put(std::string_view z, std::string_view value, std::int64_t label);

 private:
  const std::uint64_t id_;  // tells the caches apart in the per-thread copies
  static constexpr std::size_t kShards = 32;
  static constexpr std::size_t kMaxValueBytes = 512;  // zone + value stay below LabelTable::kMaxKeyBytes
  struct Shard {
    mutable std::mutex mu;
    LabelTable labels;  // zone + '\0' + value
  };
  // By the top bits of the hash; the tables use the low ones.
  static std::size_t shard_of(std::uint64_t h) { return static_cast<std::size_t>(h >> 59) % kShards; }
  std::array<Shard, kShards> shards_;
};

// A host's models as classification uses them, with the labels they gave.
struct ClassifyModels {
  HostModels models;
  std::shared_ptr<PredictionCache> cache;
  bool usable() const { return models.usable() && !models.rf->empty() && !models.vect->empty(); }
};

// Loads the two model files of a host ("<vhost>_rf.ml", "<vhost>_vect.ml"
// in the model directory) and keeps them while neither file changes (size,
// modification time, inode); a changed file is read again on the next call.
// Shared by all workers; thread-safe.
class ModelStore {
 public:
  // The host's models as tessel_models_load gives them (a pair that is not
  // usable when there are none; its log lines come when the files are
  // read).
  ClassifyModels load(const std::string& models_dir, const std::string& vhost, const LogSink& sink);

  // Number of model-file reads so far (for tests).
  std::size_t loads() const;

 private:
  struct Stamp {
    bool exists = false;
    long long size = 0, mtime_ns = 0;
    unsigned long long ino = 0;
    bool operator==(const Stamp&) const = default;
  };
  struct Entry {
    Stamp rf, vect;
    ClassifyModels models;
  };
  static Stamp stamp(const std::string& path);

  mutable std::mutex mu_;
  std::map<std::string, Entry> entries_;  // by rf path
  std::size_t loads_ = 0;
};

// Loads the models of `vhost` (a host as the list writes it) when an entry of
// `mlvh_list` covers it (the entry itself, ".d" with d in vhost, "*.d" with
// ".d" in a different vhost, "*"); an empty pair otherwise. The model files
// are those of the host's file-name-safe form (core::vhost_normalization).
ClassifyModels models_applications(ModelStore& store, const std::string& models_dir,
                                   const std::vector<std::string>& mlvh_list, const std::string& vhost,
                                   const LogSink& sink);

struct AnalysisResult {
  bool res = false;
  std::vector<std::string_view> res_list;  // the flagged values, in input order (views of the input)
};

// Classifies the values of one zone in one transform and one prediction
// (values `cache` knows are not classified again). A failure is logged and
// gives what was found so far.
AnalysisResult ml_analysis(const ml::RandomForestClassifier& rf, const ml::TfidfVectorizer& vect,
                           const Json& request_id, const Json& vhost, std::string_view z,
                           const std::vector<std::string_view>& data_list, const LogSink& sink,
                           PredictionCache* cache = nullptr);

}  // namespace tessel::orvik
