#include "orvik/training/model_store.h"

#include <filesystem>
#include <set>
#include <stdexcept>
#include <utility>
#include <variant>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "shared/pyvalues/digest.h"
#include "shared/runtime/fileio.h"
#include "shared/runtime/paths.h"

namespace tessel::orvik {

namespace fs = std::filesystem;

namespace {

void log(const LogSink& sink, std::string_view level, std::string_view category, const std::string& text) {
  core::log_processing(sink, level, category, text);
}

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
  Digest md5(Digest::Kind::md5);
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

}  // namespace tessel::orvik
