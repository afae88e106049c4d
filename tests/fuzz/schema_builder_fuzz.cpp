// Schema generation on random request bodies: decoding, key lists, grouping,
// inference and the canonical fragment text. A text the key scanner takes
// must decode, to the same key list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "schemix/generation.h"
#include "schemix/grouping.h"
#include "schemix/key_scan.h"
#include "schemix/keys.h"
#include "schemix/schema_builder.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/runtime/log_sink.h"

using namespace tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const LogSink sink{std::make_shared<EventQueue>(), std::make_shared<Logger>("fuzz"), true};
  const std::string body(reinterpret_cast<const char*>(data), size);

  // The whole worker path over two records of one endpoint.
  std::vector<schemix::SchemaRecord> records(2);
  for (auto& r : records) {
    r.vhost = "h.example";
    r.url = "/api/7/items";
    r.method = "POST";
    r.body = body;
    r.schema_name = "h.example";
  }
  records[1].method = "post";
  SharedNamespace nsi;
  nsi.set("schemix_schemas_list", Json::array());
  const auto chosen = schemix::schemix_requests_processing(records, sink);
  for (const auto& f : schemix::schemix_schemas_generation(nsi, records, chosen, sink))
    (void)schemix::canonical_text(f);

  {
    static schemix::KeyScanner scanner;
    std::vector<std::string_view> fast;
    if (scanner.scan(body, fast)) {
      Json v;
      try {
        v = json_loads(body, false);
      } catch (const std::exception&) {
        std::abort();  // taken by the scanner, refused by the decoder
      }
      std::vector<std::string> slow;
      schemix::schemix_get_keys(v, slow, sink);
      if (slow.size() != fast.size()) std::abort();
      for (std::size_t i = 0; i < slow.size(); ++i)
        if (slow[i] != fast[i]) std::abort();
    }
  }

  // The builder alone on whatever the body decodes to.
  try {
    const Json v = json_loads(body, false);
    schemix::SchemaBuilder b;
    b.add_object(v);
    b.add_object(v);
    (void)schemix::canonical_text(b.to_schema());
  } catch (const std::exception&) {
    // undecodable or too deep: the worker logs it and goes on
  }
  while (sink.q_ec->try_get()) {
  }
  return 0;
}
