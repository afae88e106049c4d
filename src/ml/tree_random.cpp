#include "ml/tree_random.h"

namespace tessel::ml::detail {

std::uint32_t masked_draw(std::mt19937& mt, std::uint32_t rng) {
  if (rng == 0) return 0;
  std::uint32_t mask = rng;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  std::uint32_t v;
  while ((v = static_cast<std::uint32_t>(mt()) & mask) > rng) {
  }
  return v;
}

}  // namespace tessel::ml::detail
