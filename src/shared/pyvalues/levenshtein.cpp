#include "shared/pyvalues/levenshtein.h"

#include <algorithm>
#include <string>
#include <vector>

#include "shared/pyvalues/pytext.h"

namespace tessel {

std::size_t levenshtein(std::string_view a8, std::string_view b8, std::size_t bound) {
  std::u32string a = wtf8_to_u32(a8), b = wtf8_to_u32(b8);
  // Common prefix and suffix cost nothing.
  std::size_t p = 0;
  while (p < a.size() && p < b.size() && a[p] == b[p]) ++p;
  std::size_t s = 0;
  while (s < a.size() - p && s < b.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  std::u32string_view x(a.data() + p, a.size() - p - s), y(b.data() + p, b.size() - p - s);
  if (x.size() > y.size()) std::swap(x, y);
  const std::size_t n = x.size(), m = y.size();
  if (m - n > bound) return bound + 1;
  if (n == 0) return m;
  const std::size_t k = std::min(bound, m);  // the distance never exceeds m
  const std::size_t inf = k + 1;
  // Row i holds the distances of x[0..i) to y[0..j) for |i - j| <= k;
  // cells outside that band are at least k + 1.
  std::vector<std::size_t> prev(m + 1, inf), cur(m + 1, inf);
  for (std::size_t j = 0; j <= std::min(m, k); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t lo = i > k ? i - k : 1;
    const std::size_t hi = std::min(m, i + k);
    cur[lo - 1] = lo == 1 ? i : inf;
    std::size_t row_min = cur[lo - 1];
    for (std::size_t j = lo; j <= hi; ++j) {
      std::size_t v = prev[j - 1] + (x[i - 1] != y[j - 1] ? 1 : 0);
      v = std::min(v, prev[j] + 1);
      v = std::min(v, cur[j - 1] + 1);
      cur[j] = std::min(v, inf);
      row_min = std::min(row_min, cur[j]);
    }
    if (hi < m) cur[hi + 1] = inf;
    if (row_min > k) return bound + 1;
    std::swap(prev, cur);
  }
  return prev[m] <= bound ? prev[m] : bound + 1;
}

}  // namespace tessel
