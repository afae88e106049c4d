// Extension module schemix: API schema generation.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(schemix, m) { m.doc() = "API schema generation."; }
