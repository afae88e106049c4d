#pragma once
// Column entries of the tree builder, value key << 32 | payload, and their
// sort: a radix sort on the value key for long runs. Internal to src/ml.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace tessel::ml::detail {

// Order-preserving map of a float to uint32 (negative < 0 < positive).
inline std::uint32_t sort_key(float v) {
  std::uint32_t b = std::bit_cast<std::uint32_t>(v);
  return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}
inline float key_value(std::uint32_t k) {
  std::uint32_t b = (k & 0x80000000u) ? (k & 0x7FFFFFFFu) : ~k;
  return std::bit_cast<float>(b);
}
inline constexpr std::uint32_t kZeroKey = 0x80000000u;            // the key of 0
inline constexpr std::uint64_t kKeyMask = 0xFFFFFFFF00000000ull;  // the value key of an entry

// Sorts by the upper 32 bits (the value key); equal keys in any order.
inline void sort_entries(std::uint64_t* a, std::size_t n, std::vector<std::uint64_t>& tmp) {
  if (n < 384) {
    if (n <= 24) {
      for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t v = a[i];
        std::size_t j = i;
        for (; j > 0 && (a[j - 1] >> 32) > (v >> 32); --j) a[j] = a[j - 1];
        a[j] = v;
      }
    } else {
      std::sort(a, a + n);
    }
    return;
  }
  if (tmp.size() < n) tmp.resize(n);
  std::uint64_t* src = a;
  std::uint64_t* dst = tmp.data();
  for (int shift = 32; shift < 64; shift += 8) {
    std::size_t count[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[(src[i] >> shift) & 0xFF];
    if (count[(src[0] >> shift) & 0xFF] == n) continue;
    std::size_t sum = 0;
    for (auto& c : count) {
      std::size_t t = c;
      c = sum;
      sum += t;
    }
    for (std::size_t i = 0; i < n; ++i) dst[count[(src[i] >> shift) & 0xFF]++] = src[i];
    std::swap(src, dst);
  }
  if (src != a) std::memcpy(a, src, n * sizeof(std::uint64_t));
}

}  // namespace tessel::ml::detail
