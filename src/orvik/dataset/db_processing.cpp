#include "orvik/dataset/db_processing.h"

#include <filesystem>
#include <mutex>
#include <unordered_set>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/net/mls.h"
#include "orvik/dataset/dataset_file.h"
#include "orvik/dataset/sqlite_db.h"
#include "orvik/dataset/staging.h"

namespace tessel::orvik {

namespace {

namespace fs = std::filesystem;
using detail::RetryOutcome;

// The rows read from the staging table: per zone of `zones` the cells in
// row order, and the highest row id read.
struct Staged {
  bool table = false;
  std::vector<std::vector<std::string>> zones;
  std::int64_t max_rowid = 0;
};

void read_staged(const std::string& db_fname, ProcessLock& lock, Staged& out) {
  std::lock_guard g(lock);
  detail::Db db(db_fname);
  detail::Transaction tx(db, false);
  const auto& zones = core::zones();
  out = Staged{};
  out.zones.resize(zones.size());
  if (db.has_table(core::db_data_table())) {
    out.table = true;
    std::string sql = "SELECT rowid";
    for (const auto& z : zones) sql += ", " + detail::quote_ident(z);
    sql += " FROM " + detail::quote_ident(core::db_data_table()) + " ORDER BY rowid";
    detail::Statement st(db, sql);
    while (st.step()) {
      out.max_rowid = sqlite3_column_int64(st.get(), 0);
      for (std::size_t i = 0; i < zones.size(); ++i)
        out.zones[i].push_back(detail::cell_text(st.get(), static_cast<int>(i) + 1));
    }
  }
  tx.commit();
}

// Empty values out; over the limit, distinct values (first occurrence
// order), then the last `limit` of them.
void apply_limit(std::vector<std::string>& values, std::int64_t dataset_limit) {
  std::erase(values, std::string());
  const std::size_t limit = dataset_limit > 0 ? static_cast<std::size_t>(dataset_limit) : 0;
  if (values.size() <= limit) return;
  std::unordered_set<std::string_view> seen;
  std::vector<std::string> distinct;
  for (auto& v : values)
    if (seen.insert(v).second) distinct.push_back(v);
  if (distinct.size() > limit) distinct.erase(distinct.begin(), distinct.end() - static_cast<std::ptrdiff_t>(limit));
  values = std::move(distinct);
}

}  // namespace

DatasetSharing dataset_sharing(bool mls, bool distributed_mode) {
  if (mls) return DatasetSharing::master;
  return distributed_mode ? DatasetSharing::node : DatasetSharing::local;
}

bool db_processing(const DbProcessingArgs& args) {
  const LockMap& db_processing_lock = args.db_processing_lock;
  const std::string& ml_vhost = args.ml_vhost;
  const std::string& db_fname = args.db_fname;
  const std::string& d_fname = args.d_fname;
  const core::ApiContext& api = args.api;
  const LogSink& sink = args.sink;
  const bool mls = args.sharing == DatasetSharing::master;
  try {
    ProcessLock& lock = detail::host_lock(db_processing_lock, ml_vhost);
    const auto& zones = core::zones();
    Staged staged;
    std::string error;
    bool damaged = false;
    const RetryOutcome read = detail::retry_locked([&] { read_staged(db_fname, lock, staged); }, error, &damaged);
    if (read == RetryOutcome::locked_out) {
      core::log_processing(sink, "error", "misc", "An error occurred in db_processing: " + error);
      return false;
    }
    if (read == RetryOutcome::failed) {
      core::log_processing(sink, "error", "os",
                           "An error occurred while receiving data from file " + db_fname + ": " + error);
      // Only a file that is no database is replaced; other failures leave it.
      if (damaged && fs::exists(db_fname)) {
        {
          std::lock_guard g(lock);
          detail::move_aside(db_fname, sink);
        }
        if (args.training_pcnt < 100) put_data_into_db({}, db_processing_lock, ml_vhost, db_fname, sink);
      }
      return false;
    }
    if (!staged.table) return true;

    if (args.sharing == DatasetSharing::node) {
      Json data = Json::object();
      for (std::size_t i = 0; i < zones.size(); ++i) data[zones[i]] = staged.zones[i];
      const std::int64_t max_rowid = staged.max_rowid;
      staged = Staged{};
      // Rows stay staged until the store has taken them.
      return core::mls_data_set("ml", args.set_mls_data_url, data, ml_vhost, api, sink) &&
             detail::truncate_rows(ml_vhost, db_fname, db_processing_lock, sink, &max_rowid);
    }

    if (args.nsg && args.nsg->restart_signal()) {
      detail::pause(std::chrono::seconds(120));
      return false;
    }
    core::log_processing(sink, "info", "ml", "Updating collected data for virtual host " + ml_vhost);
    const std::string d_fname_tmp = d_fname + ".bak";
    const std::string loading = "An error occurred while loading file " + d_fname + ": ";
    // A missing file is an empty one; the first merged write creates it, so
    // a failed update leaves no empty file to pass for the dataset.
    DatasetData ldata;
    try {
      if (fs::exists(d_fname)) ldata = dataset_load(d_fname);
    } catch (const DatasetFormatError& e) {
      // Kept aside for inspection; the next update starts a new file.
      core::log_processing(sink, "error", "os", loading + e.what());
      try {
        detail::move_aside(d_fname, sink);
      } catch (const std::exception& e2) {
        core::log_processing(sink, "error", "os",
                             "An error occurred while processing file " + d_fname + ": " + e2.what());
      }
      return false;
    } catch (const std::exception& e) {
      // The file may be sound (out of descriptors, memory, ...): it stays,
      // and so do the staged rows, for the next update.
      core::log_processing(sink, "error", "os", loading + e.what());
      return false;
    }
    try {
      const std::int64_t max_rowid = staged.max_rowid;
      const Json rdata = mls ? core::mls_data_get("ml", args.get_mls_data_url, ml_vhost, api, sink) : Json::object();
      std::vector<std::string> rids;
      DatasetData data;
      for (std::size_t i = 0; i < zones.size(); ++i) {
        const std::string& z = zones[i];
        auto& list = data[z];
        list = std::move(staged.zones[i]);
        if (auto it = ldata.find(z); it != ldata.end()) {
          list.insert(list.end(), std::make_move_iterator(it->second.begin()),
                      std::make_move_iterator(it->second.end()));
        }
        for (const auto& [rid, rec] : rdata.items()) {
          rids.push_back(rid);
          const auto v = rec.find(z);
          if (v == rec.end() || !v->is_array() || v->empty()) continue;
          if (sink.debug)
            core::log_processing(sink, "debug", "ml",
                                 "DM: " + std::to_string(v->size()) + " values has been received for zone " +
                                     core::zone_replace(z) + " ");
          for (const auto& x : *v) list.push_back(x.is_string() ? x.get<std::string>() : x.dump());
        }
        apply_limit(list, args.dataset_limit);
        core::log_processing(sink, "info", "ml",
                             "Number of values in zone " + core::zone_replace(z) + ": " + std::to_string(list.size()));
      }
      staged = Staged{};
      ldata.clear();
      dataset_save(data, d_fname_tmp);
      data.clear();
      // In place before the remote records go, so a failure loses neither.
      fs::rename(d_fname_tmp, d_fname);
      if (mls && !rids.empty()) core::mls_data_del("ml", args.del_mls_data_url, ml_vhost, rids, api, sink);
      // The rows are in the dataset file now; a failed emptying only means
      // they are merged again next time.
      detail::truncate_rows(ml_vhost, db_fname, db_processing_lock, sink, &max_rowid);
      return true;
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "os", loading + e.what());
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "misc", std::string("An error occurred in db_processing: ") + e.what());
  }
  return false;
}

}  // namespace tessel::orvik
