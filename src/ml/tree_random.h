#pragma once
// The random numbers of forest training: the seed draws of the trees and the
// generator of the tree splitter. Internal to src/ml.
#include <cstdint>
#include <random>

namespace tessel::ml::detail {

inline constexpr std::uint32_t kRandRMax = 0x7FFFFFFF;

// numpy's legacy RandomState.randint(0, rng + 1): masked rejection on
// 32-bit draws of MT19937.
std::uint32_t masked_draw(std::mt19937& mt, std::uint32_t rng);

// xorshift generator of the tree splitter.
inline std::uint32_t rand_r(std::uint32_t& s) {
  if (s == 0) s = 1;
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s % (kRandRMax + 1u);
}

// A number in [low, high) from the splitter's generator.
inline std::int64_t rand_int(std::int64_t low, std::int64_t high, std::uint32_t& s) {
  return low + static_cast<std::int64_t>(rand_r(s)) % (high - low);
}

}  // namespace tessel::ml::detail
