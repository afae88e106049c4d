#pragma once
// The exported false-positive data of the management API: download into
// "mt.json", loading per host entry and zone, and application to flagged
// requests.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/request.h"

namespace tessel::orvik {

// Downloads the exported false-positive data into `mt_fname` when the hash
// the management API reports differs from `mt_hash_last`; returns the hash
// to pass next time. A failed or undecodable download leaves the file as it
// was and returns `mt_hash_last`, so the next call tries again. A hash that
// is not text is kept as its JSON text ("null" when absent). The file is
// replaced atomically. Debug lines when `sink.debug`. Never throws.
std::string mt_data_get(const std::string& mt_fname, const std::string& mt_hash_last,
                        const std::string& get_mt_hash_url, const std::string& get_mt_data_url,
                        const core::ApiContext& api, const LogSink& sink);

namespace detail {
struct MtZoneMatcher;
struct MtMatcherCache;
}  // namespace detail

// Host entry ("*", ".d", "*.d" or an exact host) to zone (every zone of
// `zones`) to the exported lines. Matchers for the fuzzy comparison are
// prepared on first use and kept with the data; share one loaded value
// between requests rather than copying it.
class MtData {
 public:
  using Zones = std::map<std::string, std::set<std::string>>;
  using Hosts = std::map<std::string, Zones>;

  MtData();
  // A copy prepares its own matchers.
  MtData(const MtData& other);
  MtData& operator=(const MtData& other);
  MtData(MtData&&) noexcept = default;
  MtData& operator=(MtData&&) noexcept = default;
  // Creates the entry with every zone empty, when missing.
  Zones& host(const std::string& vhost);
  void add_line(const std::string& vhost, const std::string& zone, std::string line);
  const Hosts& hosts() const { return hosts_; }
  bool empty() const { return hosts_.empty(); }
  // The prepared matcher of one host entry's zone; nullptr when it has no
  // lines. Safe from several threads.
  const detail::MtZoneMatcher* matcher(const std::string& vhost, const std::string& zone) const;

 private:
  Hosts hosts_;
  std::shared_ptr<detail::MtMatcherCache> cache_;
};

// Reads "mt.json" (a JSON list of records, see docs/management-api.md):
// record "vhost" to zone to the set of its "\r\n"-separated lines; "uri" is
// the zone "url". A record that cannot be read is logged and skipped alone.
// A missing or empty file gives empty data. Never throws.
MtData mt_data_load(const std::string& mt_fname, const LogSink& sink);
// The same for the file's text; `mt_fname` names it in messages.
MtData mt_data_parse(std::string_view text, const std::string& mt_fname, const LogSink& sink);

// The data as plain values: host entry to zone to its lines in byte order.
Json mt_data_json(const MtData& mt_data);

// Applies the exported data to a request the models flagged in the zones
// `ml_z` (changed in place: covered zones are removed). A zone all of whose
// lines match an exported line (fuzzy score 95 or more) is cleared; a zone
// partly covered keeps only its uncovered lines. Returns nullopt when
// nothing was applied (no data for `ml_vhost`, `ml_r` not 1, no zones, a
// failure), 0 when every zone was cleared, 12 when some remain: then
// `data.mz` lists them joined by "|". `request_id` and `vhost` are used in
// messages only.
std::optional<int> mt_export_processing(RequestRecord& data, const Json& request_id, const std::string& ml_vhost,
                                        const Json& vhost, int ml_r, std::vector<std::string>& ml_z,
                                        const MtData& mt_data, const LogSink& sink);

}  // namespace tessel::orvik
