// Extension module orvik: Request classification, training data store, model training and exchange.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(orvik, m) { m.doc() = "Request classification, training data store, model training and exchange."; }
