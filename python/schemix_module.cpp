// Extension module schemix: API schema generation.
#include <pybind11/pybind11.h>

#include "pybridge.h"
#include "schemix/schemix_settings.h"

namespace py = pybind11;
using tessel::Json;
using namespace tessel::pybridge;

PYBIND11_MODULE(schemix, m) {
  m.doc() = "API schema generation.";
  m.def(
      "schemix_settings_get",
      [](py::dict schemix_hashes, std::string get_schemix_base_url, std::string models_dir, std::string key,
         py::object headers, py::object api_proxy, py::object q_ec, py::object log, bool debug) {
        Json hashes = to_json(schemix_hashes);
        const Json hdrs = to_json(headers), proxy = to_json(api_proxy);
        const tessel::core::ApiContext api = api_context(key, proxy, hdrs);
        auto [url, exclude, out] = with_logging(q_ec, log, debug, [&](const tessel::LogSink& sink) {
          return tessel::schemix::schemix_settings_get(hashes, get_schemix_base_url, models_dir, api, sink);
        });
        // the caller's dictionary is changed in place
        schemix_hashes.clear();
        for (auto item : to_py(out).cast<py::dict>()) schemix_hashes[item.first] = item.second;
        return py::make_tuple(to_py(url), to_py(exclude), schemix_hashes);
      },
      "(url list, exclude_paths list, schemix_hashes) of schema generation.");
}
