#include "schemix/oam.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <unordered_map>
#include <utility>

#include "core/base/log.h"
#include "schemix/worker.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::schemix {

namespace {

constexpr std::int64_t kHousekeepingPeriod = 30;
constexpr std::int64_t kSlowWorker = 60;
constexpr std::size_t kManyWorkers = 4;

bool contains(const Json& vhost, const std::string& part) {
  if (!vhost.is_string())
    throw PyValueError(std::string("argument of type '") + py_type_name(vhost) + "' is not iterable");
  return vhost.get_ref<const std::string&>().find(part) != std::string::npos;
}

const std::string& schema_name_of(const RequestRecord& r) {
  static const std::string empty;
  const auto it = r.extras.find("schema_name");
  return it != r.extras.end() && it->is_string() ? it->get_ref<const std::string&>() : empty;
}

std::string child_text(const ChildPtr& c) {
  return "<Process name='" + c->name() + "' pid=" + std::to_string(c->pid()) +
         (c->is_alive() ? " started>" : " stopped>");
}

}  // namespace

bool vhost_pattern_match(const Json& pattern, const Json& vhost) {
  if (pattern == vhost && pattern.is_string()) return true;
  if (!pattern.is_string())
    throw PyValueError(std::string("'") + py_type_name(pattern) + "' object has no attribute 'startswith'");
  const std::string& p = pattern.get_ref<const std::string&>();
  if (p.starts_with("."))
    return (vhost.is_string() && vhost.get_ref<const std::string&>() == p.substr(1)) || contains(vhost, p);
  if (p.starts_with("*.")) return contains(vhost, p.substr(1));
  return p == "*";
}

OAM::OAM(int oa_loop_int, core::DetectorContext ctx, Hooks hooks)
    : loop_int_(oa_loop_int), ctx_(std::move(ctx)), hooks_(std::move(hooks)) {
  stime_ = now();
  lttl_ = stime_ + kHousekeepingPeriod;
  rng_.seed(hooks_.seed != 0 ? hooks_.seed : std::random_device{}());
}

std::int64_t OAM::now() const { return hooks_.clock ? hooks_.clock() : unix_now(); }

void OAM::housekeeping() {
  const LogSink& sink = ctx_.sink;
  for (const auto& entry : std::vector(processes_)) {
    try {
      if (!entry.second->is_alive() && entry.second->join(std::chrono::seconds(1)))
        std::erase_if(processes_, [&](const auto& e) { return e.second == entry.second; });
    } catch (const std::exception& e) {
      core::log_processing(
          sink, "error", "os",
          "Schemix SG: an error occurred while join process " + child_text(entry.second) + ": " + e.what());
    }
  }
  for (const auto& entry : std::vector(processes_)) {
    try {
      const std::int64_t age = now() - entry.first;
      if (entry.second->is_alive() && age > kSlowWorker)
        core::log_processing(sink, "warn", "os",
                             "Schemix SG: process " + std::to_string(entry.second->pid()) + " takes more than " +
                                 std::to_string(age) + " sec.");
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "os",
                           "Schemix SG: an error occurred while processing preprocessing time " +
                               child_text(entry.second) + ": " + e.what());
    }
  }
  if (processes_.size() > kManyWorkers)
    core::log_processing(sink, "warn", "os", "Schemix SG: " + std::to_string(processes_.size()) + " active processes");
}

void OAM::label(const Json& patterns, RequestTable& ndfs) {
  // The first covering pattern of each host, worked out once per host.
  std::unordered_map<std::string, std::string> label_of;  // host (JSON text) -> pattern
  std::vector<std::string> decided;
  std::vector<bool> unlabelled(ndfs.size());
  for (std::size_t i = 0; i < ndfs.size(); ++i) unlabelled[i] = schema_name_of(ndfs[i]).empty();
  for (std::size_t i = 0; i < ndfs.size(); ++i) {
    if (!unlabelled[i]) continue;
    const Json& vhost = ndfs[i].vhost;
    std::string host_key = vhost.dump();
    if (std::find(decided.begin(), decided.end(), host_key) != decided.end()) continue;
    decided.push_back(host_key);
    for (const auto& pattern : patterns) {
      try {
        if (vhost_pattern_match(pattern, vhost)) {
          label_of.emplace(host_key, pattern.get<std::string>());
          break;
        }
      } catch (const std::exception& e) {
        core::log_processing(
            ctx_.sink, "error", "schemix",
            "Schemix SG: an error occurred while searching the data (" + py_str(pattern) + "): " + e.what());
      }
    }
  }
  if (label_of.empty()) return;
  for (auto& r : ndfs)
    if (auto it = label_of.find(r.vhost.dump()); it != label_of.end()) r.extras["schema_name"] = it->second;
}

void OAM::dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) {
  const LogSink& sink = ctx_.sink;
  try {
    const Json patterns = nsi->get<Json>("schemix_vhosts_list");
    if (!py_truthy(patterns)) {
      std::vector<SchemaRecord>().swap(dfs_);
      return;
    }
    if (now() > lttl_) {
      lttl_ = now() + kHousekeepingPeriod;
      housekeeping();
    }
    if (sink.debug && !ndfs.empty())
      core::log_processing(sink, "debug", "schemix",
                           "Schemix SG: received " + std::to_string(ndfs.size()) + " request(s)");
    if (patterns.is_array()) label(patterns, ndfs);
    try {
      // New rows are appended to the gathered ones; the table is shuffled
      // once, when a worker takes it.
      for (auto& r : ndfs)
        if (!schema_name_of(r).empty()) dfs_.push_back(schema_record(std::move(r)));
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "schemix",
                           std::string("Schemix SG: an error occurred while updating the dataset: ") + e.what());
    }
    const std::int64_t ctime = now();
    if (ctime - stime_ > loop_int_) {
      stime_ = ctime;
      if (dfs_.empty()) return;
      if (sink.debug)
        core::log_processing(sink, "debug", "schemix",
                             "Schemix SG: processing " + std::to_string(dfs_.size()) + " request(s)");
      std::shuffle(dfs_.begin(), dfs_.end(), rng_);
      auto table = std::make_shared<std::vector<SchemaRecord>>(std::move(dfs_));
      dfs_.clear();
      Worker worker = hooks_.worker;
      if (!worker) {
        worker = [url = ctx_.endpoints.set_schemix_schema_path_url, api = ctx_.api, wsink = sink](
                     const std::shared_ptr<SharedNamespace>& ns, std::vector<SchemaRecord> t) {
          schemix_schemas_processing(ns, std::move(t), url, api, wsink);
        };
      }
      ChildPtr child;
      try {
        auto body = [nsi, table, worker] { worker(nsi, std::move(*table)); };
        child = hooks_.start ? hooks_.start("schemix_schemas_processing", std::move(body))
                             : Child::start("schemix_schemas_processing", std::move(body));
      } catch (...) {
        dfs_ = std::move(*table);  // offered again at the next interval
        throw;
      }
      processes_.emplace_back(now(), child);
      if (sink.debug)
        core::log_processing(sink, "debug", "os",
                             "schemix_schemas_processing is running (PID: " + std::to_string(child->pid()) + ")");
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "schemix",
                         std::string("An error occurred in schemix_preprocessing: ") + e.what());
  }
}

}  // namespace tessel::schemix
