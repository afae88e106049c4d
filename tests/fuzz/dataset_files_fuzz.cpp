// Arbitrary bytes as a dataset file (raw, and sealed with a valid header and
// checksum so the payload parser runs) and as exported false-positive data,
// which is then applied to a request built from the same bytes.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "orvik/dataset/dataset_file.h"
#include "orvik/dataset/mt_data.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

using namespace tessel;
using namespace tessel::orvik;

namespace {

void try_dataset(std::string_view bytes) {
  try {
    dataset_from_bytes(bytes, "fuzz.d");
  } catch (const DatasetFormatError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  try_dataset(in);
  try_dataset(orvik::detail::dataset_seal(in));

  static const LogSink sink{std::make_shared<EventQueue>(), std::make_shared<Logger>("fuzz"), false};
  const MtData mt = mt_data_parse(in, "mt.json", sink);
  while (sink.q_ec->try_get()) {
  }
  RequestRecord r;
  r.url = std::string(in.substr(0, 200));
  r.args = std::string(in.substr(size / 2, 200));
  std::vector<std::string> ml_z = {"url", "args", "body"};
  for (const auto& [host, zones] : mt.hosts()) {
    mt_export_processing(r, "fuzz", host, host, 1, ml_z, mt, sink);
    break;
  }
  mt_export_processing(r, "fuzz", "*", "*", 1, ml_z, mt, sink);
  while (sink.q_ec->try_get()) {
  }
  return 0;
}
