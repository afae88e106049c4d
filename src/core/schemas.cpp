#include "core/schemas.h"

namespace tessel::core {

const Json& bf_df_tpl() {
  static const Json tpl = Json::array();
  return tpl;
}

const Json& brute_df_tpl() {
  static const Json tpl = Json::array();
  return tpl;
}

}  // namespace tessel::core
