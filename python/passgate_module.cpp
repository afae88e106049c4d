// Extension module passgate: Brute-force and flood detection.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(passgate, m) { m.doc() = "Brute-force and flood detection."; }
