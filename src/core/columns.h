#pragma once
// Zone and column lists shared by the subsystems.
#include <string>
#include <vector>

namespace tessel::core {

// The request zones, in record order.
const std::vector<std::string>& zones();
// Zones whose normalised text is "name=value" (or "name: value") lines.
const std::vector<std::string>& kv_zone();

}  // namespace tessel::core
