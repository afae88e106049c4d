#include "schemix/schemix_settings.h"

namespace tessel::schemix {

// The download is not built yet: two empty lists.
std::tuple<Json, Json, Json> schemix_settings_get(Json& schemix_hashes, const std::string&, const std::string&,
                                                  const core::ApiContext&, const LogSink&) {
  return {Json::array(), Json::array(), schemix_hashes};
}

}  // namespace tessel::schemix
