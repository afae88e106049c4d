#pragma once
// What the modules share when they export a native call to Python: values
// travel as plain Python values (through their JSON form), and the logging
// pair of the call is the caller's: events go to q_ec.put(dict) and records
// to log.log(levelno, message), each when not None.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "core/net/api_context.h"
#include "core/net/http.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::pybridge {

namespace py = pybind11;

inline Json to_json(py::handle value) {
  const std::string text = py::str(py::module_::import("json").attr("dumps")(value));
  return Json::parse(text);
}

inline py::object to_py(const Json& value) { return py::module_::import("json").attr("loads")(value.dump()); }

// The call context of a call made from Python: its key, proxy mapping and
// headers, and the environment's certificate bundle.
inline core::ApiContext api_context(std::string key, Json api_proxy, Json headers) {
  core::ApiContext api;
  api.key = std::move(key);
  api.api_proxy = std::move(api_proxy);
  api.headers = std::move(headers);
  api.cookie = Json::object({{"key", api.key}});
  api.ca_bundle = core::ca_bundle_from_env();
  return api;
}

// Runs `f(sink)` without the GIL, with a logging pair of its own, then hands
// what it logged to the caller's pair.
template <class F>
auto with_logging(py::object q_ec, py::object log, bool debug, F&& f) {
  auto events = std::make_shared<EventQueue>();
  auto records = std::make_shared<LogQueue>();
  auto logger = std::make_shared<Logger>("MAIN");
  logger->set_level(INFO);
  logger->set_handlers({records});
  const LogSink sink{events, logger, debug};
  auto forward = [&] {
    for (auto& r : records->drain()) {
      if (!log.is_none()) log.attr("log")(r.levelno, r.message);
    }
    for (auto& e : events->drain()) {
      if (!q_ec.is_none()) q_ec.attr("put")(to_py(e));
    }
  };
  try {
    auto result = [&] {
      py::gil_scoped_release release;
      return f(sink);
    }();
    forward();
    return result;
  } catch (...) {
    forward();
    throw;
  }
}

}  // namespace tessel::pybridge
