// The service's extension module: tessel_main, the launcher's entry.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "shared/runtime/interrupt.h"
#include "shared/runtime/nsg.h"
#include "tessel/service.h"

namespace py = pybind11;

namespace {

bool interpreter_alive() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

// The launcher's namespace object, reached under the GIL on every access.
class PyNsg : public tessel::Nsg {
 public:
  explicit PyNsg(py::object obj) : obj_(std::move(obj)) {}
  ~PyNsg() override {
    if (!interpreter_alive()) {
      obj_.release();  // the interpreter is gone; leave the reference
      return;
    }
    py::gil_scoped_acquire g;
    obj_ = py::object();
  }

  bool restart_signal() override { return get_flag("restart_signal"); }
  void set_restart_signal(bool value) override { set_flag("restart_signal", value); }
  bool overload() override { return get_flag("overload"); }
  void set_overload(bool value) override { set_flag("overload", value); }
  std::string pid_text(const std::string& conf_file) override {
    if (!interpreter_alive()) return "None";
    py::gil_scoped_acquire g;
    // Only the calling thread asks: a failure leaves tessel_main as the
    // launcher's own error (a namespace without pids: AttributeError).
    py::object pids = obj_.attr("pids");
    return py::str(pids.attr("get")(conf_file));
  }

 private:
  bool get_flag(const char* name) {
    if (!interpreter_alive()) return false;
    py::gil_scoped_acquire g;
    try {
      return py::bool_(obj_.attr(name));
    } catch (py::error_already_set& e) {
      throw std::runtime_error(e.what());
    }
  }
  void set_flag(const char* name, bool value) {
    if (!interpreter_alive()) return;
    py::gil_scoped_acquire g;
    try {
      obj_.attr(name) = py::bool_(value);
    } catch (py::error_already_set& e) {
      throw std::runtime_error(e.what());
    }
  }
  py::object obj_;
};

const char* const kParams[3] = {"nsg", "tessel_conf_file", "tessel_conf_default"};

py::object tessel_main(py::args args, py::kwargs kwargs) {
  py::object slot[3];
  const std::size_t npos = args.size();
  for (std::size_t i = 0; i < npos && i < 3; ++i) slot[i] = args[i];
  for (auto item : kwargs) {
    if (!py::isinstance<py::str>(item.first)) throw py::type_error("tessel_main() keywords must be strings");
  }
  for (auto item : kwargs) {
    const std::string name = py::str(item.first);
    int idx = -1;
    for (int k = 0; k < 3; ++k)
      if (name == kParams[k]) idx = k;
    if (idx < 0) throw py::type_error("tessel_main() got an unexpected keyword argument '" + name + "'");
    if (slot[idx]) throw py::type_error("tessel_main() got multiple values for keyword argument '" + name + "'");
    slot[idx] = py::reinterpret_borrow<py::object>(item.second);
  }
  if (npos > 3 || !slot[0] || !slot[1] || !slot[2]) {
    const std::size_t given = npos + kwargs.size();
    throw py::type_error("tessel_main() takes exactly 3 positional arguments (" + std::to_string(given) + " given)");
  }
  // The path is used as text; anything else cannot name the configuration.
  if (!py::isinstance<py::str>(slot[1])) {
    throw py::type_error(std::string("tessel_conf_file must be str, not ") + Py_TYPE(slot[1].ptr())->tp_name);
  }
  const std::string conf_file = py::str(slot[1]);
  const std::string conf_default = py::str(slot[2]);

  PyNsg nsg(slot[0]);
  std::optional<py::error_already_set> interruption;
  tessel::svc::RunOptions opts = tessel::svc::RunOptions::from_env();
  opts.check_interrupt = [&interruption] {
    py::gil_scoped_acquire g;
    if (PyErr_CheckSignals() != 0) {
      interruption.emplace();
      throw tessel::Interrupted{};
    }
  };
  opts.print = [](const std::string& line) {
    py::gil_scoped_acquire g;
    py::print(line, py::arg("flush") = true);
  };
  try {
    py::gil_scoped_release release;
    tessel::svc::tessel_main(nsg, conf_file, conf_default, opts);
  } catch (const tessel::Interrupted&) {
    if (interruption) throw *interruption;
    throw py::error_already_set();
  }
  return py::none();
}

}  // namespace

PYBIND11_MODULE(tessel, m) {
  m.doc() = "The attack-detection service.";
  // The service cannot run without its five sibling modules: importing this
  // one fails when any of them (or a name the service needs) is missing.
  struct Need {
    const char* module;
    std::initializer_list<const char*> names;
  };
  const Need needs[] = {
      {"orvik", {"get_training_status", "tessel_models_receiver", "mt_data_get"}},
      {"schemix", {"schemix_settings_get"}},
      {"passgate", {}},
      {"stormwatch", {}},
      {"ingestor", {}},
  };
  for (const auto& need : needs) {
    py::module_ mod = py::module_::import(need.module);
    for (const char* name : need.names) {
      if (!py::hasattr(mod, name)) {
        throw py::import_error(std::string("cannot import name '") + name + "' from '" + need.module + "'");
      }
    }
  }
  m.def("tessel_main", &tessel_main,
        "tessel_main(nsg, tessel_conf_file, tessel_conf_default)\n\nRuns the service until a fatal stop.");
}
