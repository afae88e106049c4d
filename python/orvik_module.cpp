// Extension module orvik: Request classification, training data store, model training and exchange.
#include <pybind11/pybind11.h>

#include "orvik/dataset/mt_data.h"
#include "orvik/training/model_exchange.h"
#include "orvik/training/training_state.h"
#include "pybridge.h"

namespace py = pybind11;
using tessel::Json;
using namespace tessel::pybridge;

PYBIND11_MODULE(orvik, m) {
  m.doc() = "Request classification, training data store, model training and exchange.";
  m.def(
      "get_training_status",
      [](std::string url, std::string key, std::string vhost, std::int64_t training_period_days_default,
         py::object api_proxy, py::object headers, py::object q_ec, py::object log) {
        const Json proxy = to_json(api_proxy), hdrs = to_json(headers);
        const tessel::core::ApiContext api = api_context(key, proxy, hdrs);
        auto [complete, days] = with_logging(q_ec, log, false, [&](const tessel::LogSink& sink) {
          return tessel::orvik::get_training_status(url, vhost, training_period_days_default, api, sink);
        });
        return py::make_tuple(complete ? py::object(py::bool_(*complete)) : py::object(py::none()), to_py(days));
      },
      py::arg("url"), py::arg("key"), py::arg("vhost"), py::arg("training_period_days_default"), py::arg("api_proxy"),
      py::arg("headers"), py::arg("q_ec"), py::arg("log"),
      "(complete, days) of a host's training at the management API; (None, default) when it has none.");
  m.def(
      "mt_data_get",
      [](std::string mt_fname, std::string mt_hash_last, std::string get_mt_hash_url, std::string get_mt_data_url,
         std::string key, py::object api_proxy, py::object headers, py::object q_ec, py::object log, bool debug) {
        const Json proxy = to_json(api_proxy), hdrs = to_json(headers);
        const tessel::core::ApiContext api = api_context(key, proxy, hdrs);
        return with_logging(q_ec, log, debug, [&](const tessel::LogSink& sink) {
          return tessel::orvik::mt_data_get(mt_fname, mt_hash_last, get_mt_hash_url, get_mt_data_url, api, sink);
        });
      },
      "Refreshes the exported false-positive data; returns the hash now valid.");
  m.def(
      "tessel_models_receiver",
      [](bool ai_extra, std::string models_dir, std::string key, std::string get_models_url, py::object api_proxy,
         py::object headers, py::object q_ec, py::object log, bool debug) {
        const Json proxy = to_json(api_proxy), hdrs = to_json(headers);
        const tessel::core::ApiContext api = api_context(key, proxy, hdrs);
        return with_logging(q_ec, log, debug, [&](const tessel::LogSink& sink) {
          return tessel::orvik::tessel_models_receiver(ai_extra, models_dir, get_models_url, api, sink);
        });
      },
      "Applies the models held by the management API; True when model files changed.");
}
