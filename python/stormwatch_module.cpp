// Extension module stormwatch: DDoS and scraping detection.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(stormwatch, m) { m.doc() = "DDoS and scraping detection."; }
