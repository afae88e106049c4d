#include "core/data/refdata.h"

#include <GeoIP.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/base/log.h"
#include "core/base/util.h"
#include "core/data/iplist.h"
#include "core/data/local_copy.h"
#include "core/net/api.h"
#include "shared/runtime/fileio.h"

namespace tessel::core {

namespace {

constexpr const char* kBuiltInDatasetUrl = "https://rapi.corvane.ai/vx";
constexpr const char* kBuiltInGeoDir = "/usr/share/GeoIP/";
constexpr const char* kCrawlersFormat = "tessel-crawlers";
constexpr const char* kBlockListsFormat = "tessel-blocklists";

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string(fallback);
}

std::string strip_slashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool is_file(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string join(const std::string& dir, const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

RefDataOptions RefDataOptions::from_env() {
  RefDataOptions o;
  o.geo_dir = env_or("TESSEL_GEOIP_DIR", "/opt/tessel/geoip/");
  o.geo_source_url = strip_slashes(env_or("TESSEL_GEOIP_URL", ""));
  o.dataset_base_url = strip_slashes(env_or("TESSEL_DATASET_URL", kBuiltInDatasetUrl));
  return o;
}

std::string GeoReference::db_path(const std::string& fname) const {
  std::string local = join(opts_.geo_dir, fname);
  if (is_file(local) || (!fname.empty() && fname.front() == '/')) return local;
  const std::string builtin = join(kBuiltInGeoDir, fname);
  return is_file(builtin) ? builtin : local;
}

// Country data.

namespace {
struct GeoIPCloser {
  void operator()(GeoIP* g) const { GeoIP_delete(g); }
};
using GeoIPPtr = std::unique_ptr<GeoIP, GeoIPCloser>;
}  // namespace

struct GeoData::Db {
  GeoIPPtr v4;
  GeoIPPtr v6;
};

namespace {

GeoIPPtr open_country_db(const std::string& path, bool v6) {
  GeoIPPtr g(GeoIP_open(path.c_str(), GEOIP_MEMORY_CACHE | GEOIP_SILENCE));
  if (!g) return g;
  const int edition = GeoIP_database_edition(g.get());
  if (edition != (v6 ? GEOIP_COUNTRY_EDITION_V6 : GEOIP_COUNTRY_EDITION)) g.reset();
  return g;
}

std::string companion_path(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return dir + geocc6_fname;
}

}  // namespace

GeoData::GeoData() = default;

bool GeoData::empty() const { return !db_ || (!db_->v4 && !db_->v6); }

GeoData GeoData::load(const std::string& path) {
  auto db = std::make_shared<Db>();
  db->v4 = open_country_db(path, false);
  if (!db->v4) throw std::runtime_error("not a GeoIP country database");
  const std::string v6 = companion_path(path);
  if (is_file(v6)) db->v6 = open_country_db(v6, true);
  GeoData d;
  d.db_ = std::move(db);
  return d;
}

std::string GeoData::country(std::string_view addr) const {
  if (empty()) return {};
  std::string a(detail::trim(addr));
  if (a.rfind("::ffff:", 0) == 0 && a.find('.') != std::string::npos) a = a.substr(7);
  GeoIPLookup gl{};
  const char* cc = nullptr;
  if (a.find(':') != std::string::npos) {
    if (db_->v6) cc = GeoIP_country_code_by_addr_v6_gl(db_->v6.get(), a.c_str(), &gl);
  } else if (db_->v4 && IpList::valid(a) && a.find('/') == std::string::npos) {
    cc = GeoIP_country_code_by_addr_gl(db_->v4.get(), a.c_str(), &gl);
  }
  return cc ? std::string(cc) : std::string();
}

GeoData geo_db_get(const GeoReference& geo, const std::string& fname, const LogSink& sink) {
  const std::string path = geo.db_path(fname);
  try {
    return GeoData::load(path);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", "An error occurred while loading file " + path + ": " + e.what());
    return GeoData();
  }
}

// Downloads.

namespace {

bool valid_geo_file(const std::string& fname, const std::string& path) {
  if (fname == geocrwl_fname) return detail::load_local_copy(path, kCrawlersFormat, "crawlers", nullptr).has_value();
  if (fname == geobl_fname) return detail::load_local_copy(path, kBlockListsFormat, "lists", nullptr).has_value();
  return open_country_db(path, fname == geocc6_fname) != nullptr;
}

bool update_one(const std::string& dir, const std::string& source, const std::string& fname, const ApiContext& api,
                const LogSink& sink) {
  const std::string url = source + "/" + fname;
  auto body = detail::download(url, api, Route::outside, sink);
  if (!body) return false;
  const std::string path = join(dir, fname), fresh = path + ".new";
  try {
    std::filesystem::create_directories(dir);
    write_file_atomic(fresh, *body);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", "An error occurred while saving file " + path + ": " + e.what());
    return false;
  }
  if (!valid_geo_file(fname, fresh)) {
    ::unlink(fresh.c_str());
    log_processing(sink, "error", "api",
                   "An error occurred while receiving data from " + url + ": the file does not load");
    return false;
  }
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(fresh.c_str());
    log_processing(sink, "error", "os", "An error occurred while saving file " + path + ": " + std::strerror(err));
    return false;
  }
  return true;
}

}  // namespace

bool geo_db_update(const GeoReference& geo, const std::string& fname, const std::string& geo_token,
                   const ApiContext& api, const LogSink& sink) {
  try {
    const std::string& source = geo.options().geo_source_url;
    if (source.empty()) return false;
    ApiContext with_token = api;
    if (!with_token.headers.is_object()) with_token.headers = Json::object();
    if (!geo_token.empty()) with_token.headers["Authorization"] = "Bearer " + geo_token;
    const std::string& dir = geo.options().geo_dir;
    bool replaced = update_one(dir, source, fname, with_token, sink);
    if (fname == geocc_fname) replaced = update_one(dir, source, geocc6_fname, with_token, sink) || replaced;
    if (fname == geocrwl_fname) replaced = update_one(dir, source, geobl_fname, with_token, sink) || replaced;
    return replaced;
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", std::string("An error occurred in geo_db_update: ") + e.what());
    return false;
  }
}

// Look-ups with data reloaded when the files change.

namespace {

// A named address list: a crawler or a block list.
struct NamedRanges {
  std::string name;
  IpList ranges;
};
using NamedLists = std::vector<NamedRanges>;

// The lists of a local copy {"<key>": [{"name": ..., "ranges": [...]}, ...]};
// empty when the file is missing or damaged, entries without a name left out.
std::shared_ptr<const NamedLists> load_named_lists(const std::string& path, const char* format, const char* key) {
  auto list = std::make_shared<NamedLists>();
  if (auto copy = detail::load_local_copy(path, format, key, nullptr); copy && copy->value.is_array())
    for (const auto& c : copy->value)
      if (c.is_object() && c.value("name", Json()).is_string())
        list->push_back({c["name"].get<std::string>(), IpList(c.value("ranges", Json::array()))});
  return list;
}

}  // namespace

struct GeoReference::Cache {
 public:
  struct Data {
    GeoData geo;
    std::shared_ptr<const NamedLists> crawlers, blocklists;
  };
  // The data in force, each file reloaded when its modification time or
  // size changed.
  Data current(const GeoReference& geo) {
    std::lock_guard lk(mu_);
    const std::string cc = geo.db_path(geocc_fname);
    if (auto st = stamp(cc); st != cc_stamp_ || cc != cc_path_) {
      cc_path_ = cc;
      cc_stamp_ = st;
      try {
        data_.geo = GeoData::load(cc);
      } catch (const std::exception&) {
        data_.geo = GeoData();
      }
    }
    crawlers_.refresh(geo.db_path(geocrwl_fname), kCrawlersFormat, "crawlers", data_.crawlers);
    blocklists_.refresh(geo.db_path(geobl_fname), kBlockListsFormat, "lists", data_.blocklists);
    return data_;
  }

 private:
  static std::string stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "/" +
           std::to_string(st.st_size) + "/" + std::to_string(st.st_ino);
  }
  struct ListFile {
    std::string path, stamp;
    void refresh(const std::string& p, const char* format, const char* key, std::shared_ptr<const NamedLists>& out) {
      const std::string st = Cache::stamp(p);
      if (out && st == stamp && p == path) return;
      path = p;
      stamp = st;
      out = load_named_lists(p, format, key);
    }
  };
  std::mutex mu_;
  std::string cc_path_, cc_stamp_;
  ListFile crawlers_, blocklists_;
  Data data_;
};

GeoReference::GeoReference(RefDataOptions opts) : opts_(std::move(opts)), cache_(std::make_unique<Cache>()) {}
GeoReference::~GeoReference() = default;

Json get_geoip(const GeoReference& ref, const Json& addrs, const std::string&, const ApiContext&, const LogSink& sink) {
  Json out = Json::object();
  try {
    const auto data = ref.cache_->current(ref);
    const auto& geo = data.geo;
    const auto& crawlers = data.crawlers;
    const Json list = addrs.is_array() ? addrs : Json::array({addrs});
    for (const auto& a : list) {
      const std::string addr = detail::json_text(a);
      Json crawler = false;
      for (const auto& c : *crawlers)
        if (c.ranges.contains(addr)) {
          crawler = c.name;
          break;
        }
      out[addr] = Json{{"cc", geo.country(addr)}, {"crawler", crawler}, {"tor", false},
                       {"proxy", false},          {"hosting", false},   {"mobile", false}};
    }
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", std::string("An error occurred in get_geoip: ") + e.what());
  }
  return out;
}

Json get_geobl(const GeoReference& ref, const std::string& addr, const std::string&, const ApiContext&,
               const LogSink& sink) {
  Json names = Json::array();
  try {
    const auto data = ref.cache_->current(ref);
    for (const auto& l : *data.blocklists)
      if (l.ranges.contains(addr)) names.push_back(l.name);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", std::string("An error occurred in get_geobl: ") + e.what());
  }
  return names;
}

// The base64 white list.

bool b64wl_get(const std::string& tessel_b64wl_db, const std::string& dataset_base_url, const ApiContext& api,
               const LogSink& sink) {
  try {
    const std::string url = dataset_base_url + "/ml/dataset/get_b64wl_uri";
    auto reply = detail::download_json(url, api, Route::outside, sink);
    auto texts = [](const Json& v) -> std::optional<Json> {
      if (!v.is_array()) return std::nullopt;
      Json list = Json::array();
      for (const auto& e : v)
        if (e.is_string() && !e.get_ref<const std::string&>().empty()) list.push_back(e);
      return list;
    };
    return detail::store_reply(reply, url, tessel_b64wl_db, "", "b64wl", texts, sink);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", std::string("An error occurred in b64wl_get: ") + e.what());
    return false;
  }
}

}  // namespace tessel::core
