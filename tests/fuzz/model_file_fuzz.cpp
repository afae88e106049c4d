// Loads arbitrary bytes as a model file. Besides the raw bytes, the input is
// also sealed with a valid header and checksum so that the payload parser
// (both format versions) and the loaded models are exercised.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ml/model_io.h"

using namespace tessel::ml;

namespace {

void use(const ZoneModels& m) {
  if (const auto* v = std::get_if<VectorizerMap>(&m)) {
    std::vector<std::string_view> docs = {"abc", "", "\xce\xa3x"};
    for (const auto& [zone, vect] : *v) vect.transform(docs);
  } else {
    for (const auto& [zone, rf] : std::get<ForestMap>(m)) {
      CsrMatrix x;
      x.n_rows = 2;
      x.n_cols = rf.n_features();
      x.indptr = {0, 0, 1};
      x.indices = {static_cast<std::int32_t>(rf.n_features() - 1)};
      x.data = {0.5};
      rf.predict_proba(x);
    }
  }
}

void try_load(std::string_view bytes) {
  try {
    use(from_bytes(bytes));
  } catch (const ModelFormatError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  try_load(in);
  // The first byte picks the content kind and the format version.
  if (size > 0) try_load(detail::seal(1 + (data[0] & 1), in.substr(1), 1 + ((data[0] >> 1) & 1)));
  return 0;
}
