#pragma once
// Request-table templates of the brute-force and flood detection.
#include "shared/json.h"

namespace tessel::core {

const Json& bf_df_tpl();
const Json& brute_df_tpl();

}  // namespace tessel::core
