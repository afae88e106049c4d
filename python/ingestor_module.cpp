// Extension module ingestor: Request intake.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(ingestor, m) { m.doc() = "Request intake."; }
