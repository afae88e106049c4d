#include "orvik/training/models.h"

#include <openssl/evp.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <utility>

#include "core/data/codec.h"
#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "core/log.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/fileio.h"
#include "shared/runtime/interrupt.h"
#include "shared/runtime/paths.h"

namespace tessel::orvik {

namespace fs = std::filesystem;

namespace {

void log(const LogSink& sink, std::string_view level, std::string_view category, const std::string& text) {
  core::log_processing(sink, level, category, text);
}

const char* net_or_api(const std::string& what) { return core::is_network_error(what) ? "network" : "api"; }

template <class Map>
void move_uri_to_url(Map& m) {
  auto it = m.find("uri");
  if (it == m.end()) return;
  auto value = std::move(it->second);
  m.erase(it);
  m.insert_or_assign("url", std::move(value));
}

std::string read_bytes(const std::string& path) {
  std::string why;
  auto data = read_whole_file(path, &why);
  if (!data) throw std::runtime_error(why.empty() ? "cannot read " + path : why);
  return std::move(*data);
}

struct Md5 {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
  Md5() {
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) throw std::runtime_error("MD5 unavailable");
  }
  void update(std::string_view s) { EVP_DigestUpdate(ctx.get(), s.data(), s.size()); }
  std::string hex() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
      out.push_back(digits[md[i] >> 4]);
      out.push_back(digits[md[i] & 15]);
    }
    return out;
  }
};

bool is_model_name(std::string_view name) {
  return std::string_view(name).ends_with("_rf.ml") || std::string_view(name).ends_with("_vect.ml");
}

// A member or host name that names a plain file directly in the model
// directory.
bool is_plain_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.front() == '.') return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string list_repr(const std::vector<std::string>& names) {
  Json a = Json::array();
  for (const auto& n : names) a.push_back(n);
  return py_repr(a);
}

void remove_quietly(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace

// ---------------------------------------------------------------- loading

HostModels tessel_models_load(const std::string& models_dir, const std::string& vhost, const LogSink& sink) {
  HostModels out;
  const std::string rf_path = path_join(models_dir, core::model_rf_name(vhost));
  const std::string vect_path = path_join(models_dir, core::model_vect_name(vhost));
  std::error_code ec;
  const bool rf_present = fs::is_regular_file(rf_path, ec);
  const bool vect_present = fs::is_regular_file(vect_path, ec);
  if (!rf_present && !vect_present) return out;
  std::shared_ptr<ml::ForestMap> rf;
  std::shared_ptr<ml::VectorizerMap> vect;
  ml::ZoneNames rf_left_out, vect_left_out;
  try {
    if (rf_present) {
      ml::ModelFile f = ml::read_model_file(rf_path);
      rf = std::make_shared<ml::ForestMap>(std::get<ml::ForestMap>(std::move(f.models)));
      rf_left_out = std::move(f.left_out);
    }
    if (vect_present) {
      ml::ModelFile f = ml::read_model_file(vect_path);
      vect = std::make_shared<ml::VectorizerMap>(std::get<ml::VectorizerMap>(std::move(f.models)));
      vect_left_out = std::move(f.left_out);
    }
    if (!rf || !vect || rf->empty() || vect->empty()) {
      rf.reset();
      vect.reset();
      log(sink, "error", "ml", "An error occurred while loading model for " + vhost);
      log(sink, "error", "ml", "Retrain the model for vhost " + vhost);
    }
  } catch (const std::bad_variant_access&) {
    log(sink, "error", "ml", "An error occurred while loading model for " + vhost + ": the file holds other models");
    log(sink, "error", "ml", "Re-train the model for virtual host " + vhost);
  } catch (const std::exception& e) {
    log(sink, "error", "ml", "An error occurred while loading model for " + vhost + ": " + e.what());
    log(sink, "error", "ml", "Re-train the model for virtual host " + vhost);
  }
  if (rf) move_uri_to_url(*rf);
  if (vect) move_uri_to_url(*vect);
  if (rf && vect) {
    // A zone is left out on purpose when both files say so and neither
    // holds a model for it; any other gap is a damaged or foreign pair.
    auto left_out = std::make_shared<ml::ZoneNames>();
    for (std::string z : rf_left_out) {
      if (!std::binary_search(vect_left_out.begin(), vect_left_out.end(), z)) continue;
      if (z == "uri") z = "url";
      if (rf->contains(z) || vect->contains(z)) continue;
      log(sink, "warn", "ml",
          "The models of virtual host " + vhost + " hold no behavioral model for zone " + core::zone_replace(z) +
              " (no normal values to learn from): its values are not judged");
      left_out->push_back(std::move(z));
    }
    if (!left_out->empty()) out.left_out = std::move(left_out);
  }
  out.rf = std::move(rf);
  out.vect = std::move(vect);
  return out;
}

// ---------------------------------------------------------------- digests

std::string models_digest(const std::vector<std::string>& paths) {
  Md5 md5;
  for (const auto& p : paths) md5.update(read_bytes(p));
  return md5.hex();
}

ModelsDict tessel_models_dict(const std::string& models_dir, bool nolog, const LogSink& sink) {
  ModelsDict out;
  try {
    std::set<std::string> hosts;
    std::error_code ec;
    if (!fs::is_directory(models_dir, ec)) return out;
    for (const auto& entry : fs::directory_iterator(models_dir)) {
      const std::string name = entry.path().filename().string();
      if (std::string_view(name).ends_with("_rf.ml") && entry.is_regular_file())
        hosts.insert(name.substr(0, name.size() - std::string_view("_rf.ml").size()));
    }
    for (const auto& host : hosts) {
      const auto files = core::host_model_files(models_dir, host);
      if (files.empty()) continue;
      const std::string digest = models_digest(files);
      out[host] = digest;
      if (!nolog) log(sink, "info", "os", host + " md5: " + digest);
    }
  } catch (const std::exception& e) {
    log(sink, "error", "ml", std::string("An error occurred while processing new models: ") + e.what());
  }
  return out;
}

// ---------------------------------------------------------------- upload

namespace {

struct ZipCloser {
  void operator()(zip_t* z) const {
    if (z) zip_discard(z);
  }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;

std::string zip_error_text(zip_t* z) {
  const char* s = z ? zip_strerror(z) : nullptr;
  return s ? s : "unknown error";
}

// Writes the files of `g`, stored, under their base names; returns the MD5
// of their bytes in list order.
std::string write_archive(const std::string& zip_fname, const std::vector<std::string>& g, const LogSink& sink) {
  int err = 0;
  ZipPtr z(zip_open(zip_fname.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err));
  if (!z) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, err);
    std::string what = "cannot create " + zip_fname + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    throw std::runtime_error(what);
  }
  Md5 md5;
  std::vector<std::string> contents;
  contents.reserve(g.size());  // the buffers must live until zip_close
  for (const auto& path : g) {
    contents.push_back(read_bytes(path));
    const std::string& data = contents.back();
    md5.update(data);
    zip_source_t* src = zip_source_buffer(z.get(), data.data(), data.size(), 0);
    if (!src) throw std::runtime_error(zip_error_text(z.get()));
    const std::string name = fs::path(path).filename().string();
    const zip_int64_t idx = zip_file_add(z.get(), name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (idx < 0) {
      zip_source_free(src);
      throw std::runtime_error(zip_error_text(z.get()));
    }
    if (zip_set_file_compression(z.get(), static_cast<zip_uint64_t>(idx), ZIP_CM_STORE, 0) != 0)
      throw std::runtime_error(zip_error_text(z.get()));
    log(sink, "info", "ml", "Adding model " + path + " to the " + zip_fname + ": OK");
  }
  if (zip_close(z.get()) != 0) throw std::runtime_error(zip_error_text(z.get()));
  z.release();
  return md5.hex();
}

}  // namespace

bool tessel_models_send(const std::string& zip_fname, const std::vector<std::string>& g, const std::string& ml_vhost,
                        const std::string& vhost, const std::string& set_models_url, const core::ApiContext& api,
                        const LogSink& sink, const ExchangeOptions& opts) {
  const std::string digest = write_archive(zip_fname, g, sink);
  Json body = Json::object();
  body["vhost"] = vhost;
  body["hash"] = digest;
  body["model"] = core::b64e(read_bytes(zip_fname), sink);
  const std::string text = json_dumps(body);
  body = Json();
  core::RequestOptions options = core::request_options(api, core::Route::api);
  options.cookies = {{"key", api.key}};
  while (true) {
    try {
      const core::HttpResponse r = core::init_session().post(set_models_url, core::RequestBody::raw(text), options);
      if (r.status_code == 202) {
        log(sink, "info", "api", "The models of virtual host " + ml_vhost + " were successfully sent to Corvane WAF API");
        std::error_code ec;
        // The models are accepted: a leftover archive is only reported.
        if (fs::exists(zip_fname, ec) && !fs::remove(zip_fname, ec) && ec)
          log(sink, "error", "os", "Unable to delete file " + zip_fname + ": " + ec.message());
        return true;
      }
      log(sink, "error", "api",
          "An error occurred while sending the models of virtual host " + ml_vhost +
              " to Corvane WAF API: status: " + r.str());
    } catch (const std::exception& e) {
      const std::string what = e.what();
      log(sink, "error", net_or_api(what), "An error occurred while sending data to " + set_models_url + ": " + what);
    }
    if (sleep_or_stop(opts.upload_retry, opts.stop)) return false;
  }
}

// ---------------------------------------------------------------- download

namespace {

struct Member {
  std::string name;
  zip_uint64_t index = 0;
  zip_uint64_t size = 0;
};

// Reads a member whole, refusing one whose content is larger than it
// declares.
std::string read_member(zip_t* z, const Member& m) {
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> f(zip_fopen_index(z, m.index, 0), zip_fclose);
  if (!f) throw std::runtime_error("cannot read member " + m.name + ": " + zip_error_text(z));
  std::string out(static_cast<std::size_t>(m.size), '\0');
  zip_uint64_t got = 0;
  while (got < m.size) {
    const zip_int64_t n = zip_fread(f.get(), out.data() + got, m.size - got);
    if (n < 0) throw std::runtime_error("cannot read member " + m.name + ": " + zip_file_strerror(f.get()));
    if (n == 0) break;
    got += static_cast<zip_uint64_t>(n);
  }
  char extra;
  if (got != m.size || zip_fread(f.get(), &extra, 1) != 0)
    throw std::runtime_error("member " + m.name + " does not hold its declared size");
  return out;
}

}  // namespace

std::vector<std::string> detail::apply_model_archive(const std::string& models_dir, const std::string& archive_path,
                                       const ExchangeOptions& opts, const LogSink& sink) {
  int err = 0;
  ZipPtr z(zip_open(archive_path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
  if (!z) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, err);
    std::string what = std::string("File is not a zip file: ") + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    throw std::runtime_error(what);
  }
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  if (n < 0) throw std::runtime_error(zip_error_text(z.get()));
  std::vector<std::string> names;
  std::vector<Member> members;
  for (zip_int64_t i = 0; i < n && i <= 64; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
      throw std::runtime_error(zip_error_text(z.get()));
    members.push_back({st.name, static_cast<zip_uint64_t>(i), (st.valid & ZIP_STAT_SIZE) ? st.size : 0});
    names.push_back(st.name);
  }
  if (n > 64) throw std::runtime_error("the archive holds " + std::to_string(n) + " members");
  if (names.size() != 2)
    log(sink, "error", "os",
        "An error occurred while validating the model archive: incomplete data (" + list_repr(names) + ")");

  // Accepted members per host: the pair is installed only whole.
  std::map<std::string, std::vector<const Member*>> hosts;
  std::uint64_t total = 0;
  for (const auto& m : members) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    bool link = false;
    if (zip_file_get_external_attributes(z.get(), m.index, 0, &opsys, &attributes) == 0 &&
        opsys == ZIP_OPSYS_UNIX)
      link = ((attributes >> 16) & S_IFMT) == S_IFLNK;
    std::string host;
    if (is_plain_name(m.name) && !link && is_model_name(m.name))
      host = m.name.substr(0, m.name.size() - (std::string_view(m.name).ends_with("_rf.ml") ? 6 : 8));
    if (host.empty() || !is_plain_name(host)) {
      log(sink, "error", "os",
          "An error occurred while validating the model archive: incomplete data (" + list_repr({m.name}) + ")");
      continue;
    }
    total += m.size;
    hosts[host].push_back(&m);
  }
  if (total > opts.max_model_bytes)
    throw std::runtime_error("the archive's members declare " + std::to_string(total) + " bytes, more than " +
                             std::to_string(opts.max_model_bytes));

  std::vector<std::pair<std::string, std::string>> staged;  // temporary -> target
  auto discard = [&] {
    for (const auto& [tmp, target] : staged) remove_quietly(tmp);
  };
  try {
    for (const auto& [host, list] : hosts) {
      std::set<std::string> kinds;
      for (const Member* m : list) kinds.insert(m->name);
      if (kinds.size() != 2 || list.size() != 2) {
        log(sink, "error", "os",
            "An error occurred while validating the model archive: incomplete data (" +
                list_repr(std::vector<std::string>(kinds.begin(), kinds.end())) + ")");
        continue;
      }
      for (const Member* m : list) {
        const std::string target = path_join(models_dir, m->name);
        const std::string tmp = path_join(models_dir, "." + m->name + ".part");
        staged.emplace_back(tmp, target);
        write_file_atomic(tmp, read_member(z.get(), *m));
      }
    }
  } catch (...) {
    discard();
    throw;
  }
  std::vector<std::string> installed;
  for (const auto& [tmp, target] : staged) {
    fs::rename(tmp, target);
    installed.push_back(fs::path(target).filename().string());
  }
  return installed;
}

namespace {

// Removes a listed host's two model files.
void remove_host_models(const std::string& models_dir, const Json& item, const LogSink& sink) {
  try {
    if (!item.is_string()) throw std::runtime_error("'" + std::string(py_type_name(item)) + "' object has no attribute 'split'");
    const std::string text = item.get<std::string>();
    const std::string host = text.substr(0, text.find(':'));
    if (!is_plain_name(host)) throw std::runtime_error("not a host name: " + py_repr(Json(host)));
    for (const auto& name : {core::model_rf_name(host), core::model_vect_name(host)}) {
      const std::string path = path_join(models_dir, name);
      std::error_code ec;
      if (!fs::remove(path, ec) && ec) throw std::runtime_error(path + ": " + ec.message());
    }
    log(sink, "info", "os", "Models removed: " + host);
  } catch (const std::exception& e) {
    log(sink, "error", "os", "An error occurred while removing the models (" + py_str(item) + "): " + e.what());
  }
}

}  // namespace

bool tessel_models_receiver(bool ai_extra, const std::string& models_dir, const std::string& get_models_url,
                            const core::ApiContext& api, const LogSink& sink) {
  return tessel_models_receiver(ai_extra, models_dir, get_models_url, api, sink, ExchangeOptions{});
}

bool tessel_models_receiver(bool, const std::string& models_dir, const std::string& get_models_url,
                            const core::ApiContext& api, const LogSink& sink, const ExchangeOptions& opts) {
  bool restart = false;
  int status = 202;
  const std::string receiving = "An error occurred while receiving data from " + get_models_url + ": ";
  try {
    core::RequestOptions options = core::request_options(api, core::Route::api);
    options.cookies = {{"key", api.key}};
    std::optional<ModelsDict> sent;  // the dictionary of the previous pass
    for (int pass = 0; status == 202; ++pass) {
      if (opts.stop.stop_requested()) break;
      const ModelsDict models = tessel_models_dict(models_dir, true, sink.quiet());
      // Nothing changed by the answer before: asking again would only repeat it.
      if (sent && *sent == models && !models.empty()) {
        log(sink, "error", "os", "The models dictionary has not changed, is there something wrong with the models?");
        break;
      }
      if (pass >= opts.max_passes) {
        log(sink, "error", "os", "The models dictionary has not changed, is there something wrong with the models?");
        break;
      }
      Json dict = Json::object();
      for (const auto& [host, digest] : models) dict[host] = digest;
      const std::string body = core::b64e(json_dumps(dict), sink);
      const core::HttpResponse r = core::init_session().post(get_models_url, core::RequestBody::raw(body), options);
      status = r.status_code;
      sent.reset();
      if (core::status_ok(status)) {
        if (sink.debug) log(sink, "debug", "api", "Request data from " + get_models_url + ": " + r.str());
        if (status == 202) {
          if (r.content.size() / 4 * 3 > opts.max_archive_bytes)
            throw std::runtime_error("the archive is larger than " + std::to_string(opts.max_archive_bytes) +
                                     " bytes");
          const std::string archive_path = path_join(models_dir, "models.zip");
          write_file_atomic(archive_path, base64_decode(r.content));
          const auto installed = detail::apply_model_archive(models_dir, archive_path, opts, sink);
          for (const auto& name : installed) log(sink, "info", "os", "Models extracted: " + name);
          fs::remove(archive_path);
          if (installed.empty()) break;  // nothing usable: asking again repeats it
          restart = true;
          sent = models;
        } else if (status == 203) {
          tessel_models_dict(models_dir, false, sink);
          const Json items = literal_eval(r.text());
          if (!items.is_array()) throw std::runtime_error("the removal list is not a list: " + py_repr(items));
          for (const auto& item : items) remove_host_models(models_dir, item, sink);
          status = 202;
          restart = true;
          sent = models;
        }
      } else if (status == 304) {
        if (sink.debug) log(sink, "debug", "api", "Request data from " + get_models_url + ": " + r.str());
      } else {
        log(sink, "error", "api", receiving + r.str());
      }
    }
  } catch (const std::exception& e) {
    const std::string what = e.what();
    log(sink, "error", net_or_api(what), receiving + what);
  }
  return restart;
}

}  // namespace tessel::orvik
