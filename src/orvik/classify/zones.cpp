#include "orvik/classify/zones.h"

#include <exception>
#include <stdexcept>

#include "core/base/log.h"
#include "core/data/request_data.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::orvik {

namespace {

// "+" to a space, then each run of white space to one space.
std::string collapse_plus_and_space(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  bool in_run = false;
  std::size_t i = 0;
  while (i < v.size()) {
    const std::size_t start = i;
    const char32_t c = wtf8_next(v, i);
    if (c == U'+' || py_isspace(c)) {
      if (!in_run) out.push_back(' ');
      in_run = true;
    } else {
      out.append(v.substr(start, i - start));
      in_run = false;
    }
  }
  return out;
}

}  // namespace

bool ml_data_normalization_changes(std::string_view z) { return z == "url" || z == "args" || z == "body"; }

std::vector<std::string>& ml_data_normalization(std::vector<std::string>& data, std::string_view z,
                                                const LogSink& sink) {
  if (!ml_data_normalization_changes(z)) return data;
  const bool url = z == "url";
  try {
    for (auto& v : data) {
      if (py_isdigit(v)) continue;
      if (url) {
        v = core::req_data_decode(v, sink);
        continue;
      }
      try {
        v = collapse_plus_and_space(v);
      } catch (const std::exception& e) {
        if (sink.debug)
          core::log_processing(sink, "debug", "parsing",
                               "An error occurred while replacing \"+\" or removing many spaces in request data: " + v +
                                   ", " + e.what());
      }
    }
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "parsing",
                         std::string("An error occurred in ml_data_normalization: ") + e.what());
  }
  return data;
}

std::string mz_origin_gen(const RequestRecord& data, const std::vector<std::string>& znlst, const Json& request_id,
                          const LogSink& sink) {
  try {
    std::vector<std::pair<std::string, const Json*>> entries;
    for (const auto& z : znlst) {
      const Json* value = nullptr;
      for (const auto& [name, v] : data.orig_zone_data)
        if (name == z) {
          value = &v;
          break;
        }
      if (!value) throw std::out_of_range(py_repr_str(z));
      const std::string key = py_lower(z) == "url" ? std::string("uri") : z;
      bool seen = false;
      for (auto& e : entries)
        if (e.first == key) {
          e.second = value;  // a repeated key keeps its place, takes the last value
          seen = true;
        }
      if (!seen) entries.emplace_back(key, value);
    }
    std::string out = "{";
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i) out += ", ";
      out += py_repr_str(entries[i].first);
      out += ": ";
      out += py_repr(*entries[i].second);
    }
    out += "}";
    return out;
  } catch (const std::exception& e) {
    core::log_processing(
        sink, "error", "parsing",
        "An error occurred while generating mz_origin for request " + py_str(request_id) + ": " + e.what());
    return "{}";
  }
}

}  // namespace tessel::orvik
