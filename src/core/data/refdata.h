#pragma once
// Reference data: the GeoIP country and crawler data with their look-ups,
// and the download of the base64 white list.
#include <memory>
#include <string>
#include <string_view>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

// File names of the GeoIP country database (with its IPv6 companion) and of
// the crawler address list. A name is looked up in the GeoIP directory, then
// in Debian's "/usr/share/GeoIP/" (the built-in country data).
inline constexpr const char* geocc_fname = "GeoIP.dat";
inline constexpr const char* geocc6_fname = "GeoIPv6.dat";
inline constexpr const char* geocrwl_fname = "crawlers.json";
// Block lists: named address ranges, refreshed together with the crawler list.
inline constexpr const char* geobl_fname = "blocklists.json";

// Where the reference data lives and where fresh copies come from. Read
// once at start-up (from_env) into the run's options.
struct RefDataOptions {
  std::string geo_dir = "/opt/tessel/geoip/";  // TESSEL_GEOIP_DIR
  std::string geo_source_url;                  // TESSEL_GEOIP_URL; "": no downloads
  std::string dataset_base_url;                // TESSEL_DATASET_URL, else the built-in address; no trailing "/"

  static RefDataOptions from_env();
};

// Country data: IPv4 and IPv6 country look-ups. An empty value knows no
// country. Copies share the loaded data; look-ups may run in any thread.
class GeoData {
 public:
  GeoData();
  // The two-letter country code of an address text, "" when unknown.
  std::string country(std::string_view addr) const;
  bool empty() const;

  // Loads the country database `path` and, when present, its IPv6
  // companion next to it. Throws std::runtime_error when `path` is not a
  // GeoIP country database.
  static GeoData load(const std::string& path);

 private:
  struct Db;
  std::shared_ptr<const Db> db_;
};

class GeoReference;

// Refreshes the GeoIP file `fname` (the country database also refreshes its
// IPv6 companion, the crawler list the block lists) from the source URL + "/" + fname, sending geo_token as a
// bearer token. Without a source, or when the source fails or sends a file
// that does not load, the local data stays. True when a file was replaced.
bool geo_db_update(const GeoReference& geo, const std::string& fname, const std::string& geo_token,
                   const ApiContext& api, const LogSink& sink);
// The country data of `fname`; empty (and logged) when it cannot be loaded.
GeoData geo_db_get(const GeoReference& geo, const std::string& fname, const LogSink& sink);

// The reference data of one run: its options and the look-up data loaded
// from the GeoIP files, reloaded when they change. Owned by the service and
// shared by the workers that look addresses up; a new one starts afresh.
class GeoReference {
 public:
  explicit GeoReference(RefDataOptions opts = {});
  ~GeoReference();
  GeoReference(const GeoReference&) = delete;
  GeoReference& operator=(const GeoReference&) = delete;

  const RefDataOptions& options() const { return opts_; }
  // Where `fname` is read from: the GeoIP directory when the file is there,
  // else Debian's copy when that exists, else the GeoIP directory.
  std::string db_path(const std::string& fname) const;

  struct Cache;

 private:
  friend Json get_geoip(const GeoReference&, const Json&, const std::string&, const ApiContext&, const LogSink&);
  friend Json get_geobl(const GeoReference&, const std::string&, const std::string&, const ApiContext&, const LogSink&);
  RefDataOptions opts_;
  std::unique_ptr<Cache> cache_;
};

// Reputation of addresses: a mapping from each address of the list (texts)
// to {"cc": country, "crawler": crawler name or false, "tor": false,
// "proxy": false, "hosting": false, "mobile": false}. Every address has an
// entry; the data comes from the local GeoIP files, reloaded when they
// change. No outside service is asked.
Json get_geoip(const GeoReference& geo, const Json& addrs, const std::string& geo_token, const ApiContext& api,
               const LogSink& sink);
// Block lists that list the address: the names (texts, in file order) of the
// lists of the local block-list file whose ranges hold it; an empty list
// without that file.
Json get_geobl(const GeoReference& geo, const std::string& addr, const std::string& geo_token, const ApiContext& api,
               const LogSink& sink);

// Fetches the base64 white list from the dataset service at
// `dataset_base_url` ("/ml/dataset/get_b64wl_uri") into `tessel_b64wl_db` (a
// JSON list of texts, read by b64wl_load of core/request_data.h), replaced
// atomically; a failed or malformed fetch leaves the file as it was. True
// when it was replaced.
bool b64wl_get(const std::string& tessel_b64wl_db, const std::string& dataset_base_url, const ApiContext& api,
               const LogSink& sink);

}  // namespace tessel::core
