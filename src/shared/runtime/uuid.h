#pragma once
// Random identifiers.
#include <string>

namespace tessel {

// uuid.uuid4().hex: 32 lower-case hex digits of a random version-4 UUID
// (kernel randomness; version nibble 4, variant bits 10).
std::string uuid4_hex();

}  // namespace tessel
