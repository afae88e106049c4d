#include "orvik/training/model_exchange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <variant>

#include "core/base/log.h"
#include "core/data/codec.h"
#include "core/data/hosts.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "orvik/training/model_store.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/digest.h"
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

std::string read_bytes(const std::string& path) {
  std::string why;
  auto data = read_whole_file(path, &why);
  if (!data) throw std::runtime_error(why.empty() ? "cannot read " + path : why);
  return std::move(*data);
}

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
  Digest md5(Digest::Kind::md5);
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
  // zip_close has freed the archive.
  static_cast<void>(z.release());
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
        log(sink, "info", "api",
            "The models of virtual host " + ml_vhost + " were successfully sent to Corvane WAF API");
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

void write_all(int fd, const char* data, std::size_t n, const std::string& path) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path);
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Copies a member into a new file at `path` in bounded chunks, refusing one
// whose content exceeds `cap` bytes (before writing more) or differs from
// the size it declares.
void extract_member(zip_t* z, const Member& m, const std::string& path, std::uint64_t cap) {
  if (m.size > cap)
    throw std::runtime_error("member " + m.name + " declares " + std::to_string(m.size) + " bytes, more than " +
                             std::to_string(cap));
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> f(zip_fopen_index(z, m.index, 0), zip_fclose);
  if (!f) throw std::runtime_error("cannot read member " + m.name + ": " + zip_error_text(z));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  constexpr std::size_t kChunk = 1 << 20;
  const std::unique_ptr<char[]> buf(new char[kChunk]);
  std::uint64_t got = 0;
  while (true) {
    const zip_int64_t n = zip_fread(f.get(), buf.get(), kChunk);
    if (n < 0) throw std::runtime_error("cannot read member " + m.name + ": " + zip_file_strerror(f.get()));
    if (n == 0) break;
    got += static_cast<std::uint64_t>(n);
    if (got > cap || got > m.size)
      throw std::runtime_error("member " + m.name + " holds more than " +
                               std::to_string(std::min<std::uint64_t>(cap, m.size)) + " bytes");
    write_all(fd, buf.get(), static_cast<std::size_t>(n), path);
  }
  if (got != m.size) throw std::runtime_error("member " + m.name + " does not hold its declared size");
  if (::fsync(fd) != 0) throw std::system_error(errno, std::generic_category(), path);
  closer.fd = -1;
  if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), path);
}

// Throws unless the file at `path` loads as a non-empty model file of the
// kind its member name says.
void check_model_file(const std::string& path, const std::string& name) {
  const ml::ZoneModels models = ml::load_file(path);
  const bool forests = std::string_view(name).ends_with("_rf.ml");
  if (forests ? !std::holds_alternative<ml::ForestMap>(models) : !std::holds_alternative<ml::VectorizerMap>(models))
    throw std::runtime_error(forests ? "the file holds vectorisers, not forests"
                                     : "the file holds forests, not vectorisers");
  const bool empty = std::visit([](const auto& m) { return m.empty(); }, models);
  if (empty) throw std::runtime_error("the file holds no zone");
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
    if (zip_file_get_external_attributes(z.get(), m.index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX)
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
      const std::size_t first = staged.size();
      for (const Member* m : list) {
        const std::string tmp = path_join(models_dir, "." + m->name + ".part");
        staged.emplace_back(tmp, path_join(models_dir, m->name));
        extract_member(z.get(), *m, tmp, opts.max_member_bytes);
      }
      // A pair that does not load as models leaves the host's files as they are.
      for (std::size_t i = first; i < staged.size(); ++i) {
        const std::string name = fs::path(staged[i].second).filename().string();
        try {
          check_model_file(staged[i].first, name);
        } catch (const std::exception& e) {
          log(sink, "error", "os", "An error occurred while validating the model archive (" + name + "): " + e.what());
          for (std::size_t j = first; j < staged.size(); ++j) remove_quietly(staged[j].first);
          staged.resize(first);
          break;
        }
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
    if (!item.is_string())
      throw std::runtime_error("'" + std::string(py_type_name(item)) + "' object has no attribute 'split'");
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
    std::optional<ModelsDict> previous;  // the dictionary sent by the pass before
    // Asks again after every archive and removal list, whatever they
    // changed; the cap on requests is the only bound.
    for (int pass = 0; status == 202; ++pass) {
      if (opts.stop.stop_requested()) break;
      ModelsDict models = tessel_models_dict(models_dir, true, sink.quiet());
      if (pass >= opts.max_passes) {
        if (previous && *previous == models && !models.empty())
          log(sink, "error", "os", "The models dictionary has not changed, is there something wrong with the models?");
        else
          log(sink, "error", "api", receiving + "no end of the exchange after " + std::to_string(pass) + " requests");
        break;
      }
      Json dict = Json::object();
      for (const auto& [host, digest] : models) dict[host] = digest;
      const std::string body = core::b64e(json_dumps(dict), sink);
      previous = std::move(models);
      const core::HttpResponse r = core::init_session().post(get_models_url, core::RequestBody::raw(body), options);
      status = r.status_code;
      if (core::status_ok(status)) {
        if (sink.debug) log(sink, "debug", "api", "Request data from " + get_models_url + ": " + r.str());
        if (status == 202) {
          if (r.content.size() / 4 * 3 > opts.max_archive_bytes)
            throw std::runtime_error("the archive is larger than " + std::to_string(opts.max_archive_bytes) + " bytes");
          const std::string archive_path = path_join(models_dir, "models.zip");
          std::vector<std::string> installed;
          try {
            write_file_atomic(archive_path, base64_decode(r.content));
            installed = detail::apply_model_archive(models_dir, archive_path, opts, sink);
          } catch (...) {
            remove_quietly(archive_path);  // a refused archive leaves nothing behind
            throw;
          }
          for (const auto& name : installed) log(sink, "info", "os", "Models extracted: " + name);
          fs::remove(archive_path);
          if (!installed.empty()) restart = true;
        } else if (status == 203) {
          tessel_models_dict(models_dir, false, sink);
          const Json items = literal_eval(r.text());
          if (!items.is_array()) throw std::runtime_error("the removal list is not a list: " + py_repr(items));
          for (const auto& item : items) remove_host_models(models_dir, item, sink);
          status = 202;
          restart = true;
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
