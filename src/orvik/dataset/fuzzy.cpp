#include "orvik/dataset/fuzzy.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/utf8.h"

namespace tessel::orvik::fuzzy {

namespace {

int intr(double x) { return static_cast<int>(std::nearbyint(x)); }

bool is_word(char32_t c) {
  if (c == U'_') return true;
  const UChar32 u = static_cast<UChar32>(c);
  if (u_isalpha(u)) return true;
  return u_getIntPropertyValue(u, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

std::u32string_view strip(std::u32string_view s) {
  while (!s.empty() && py_isspace(s.front())) s.remove_prefix(1);
  while (!s.empty() && py_isspace(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::u32string_view> split_ws(std::u32string_view s) {
  std::vector<std::u32string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && py_isspace(s[i])) ++i;
    const std::size_t start = i;
    while (i < s.size() && !py_isspace(s[i])) ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

std::u32string join(const std::vector<std::u32string_view>& parts) {
  std::u32string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += U' ';
    out += parts[i];
  }
  return out;
}

// Length of the longest common subsequence, bit-parallel over the shorter
// text.
std::size_t lcs_len(std::u32string_view a, std::u32string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return 0;
  const std::size_t words = (a.size() + 63) / 64;
  thread_local std::vector<std::uint64_t> ascii;
  thread_local std::unordered_map<char32_t, std::vector<std::uint64_t>> other;
  thread_local std::vector<std::uint64_t> v;
  ascii.assign(128 * words, 0);
  other.clear();
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char32_t c = a[i];
    std::uint64_t* bits;
    if (c < 128) {
      bits = &ascii[c * words];
    } else {
      auto& vec = other[c];
      vec.resize(words, 0);
      bits = vec.data();
    }
    bits[i / 64] |= std::uint64_t{1} << (i % 64);
  }
  v.assign(words, ~std::uint64_t{0});
  for (const char32_t c : b) {
    const std::uint64_t* pm;
    if (c < 128) {
      pm = &ascii[c * words];
    } else {
      auto it = other.find(c);
      if (it == other.end()) continue;
      pm = it->second.data();
    }
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < words; ++w) {
      const std::uint64_t x = v[w];
      const std::uint64_t u = x & pm[w];
      const std::uint64_t t = x + u;
      const std::uint64_t c1 = t < x;
      const std::uint64_t s = t + carry;
      carry = c1 | (s < t);
      v[w] = s | (x & ~u);
    }
  }
  std::size_t ones = 0;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t x = v[w];
    if (w + 1 == words && a.size() % 64) x &= (std::uint64_t{1} << (a.size() % 64)) - 1;
    ones += static_cast<std::size_t>(std::popcount(x));
  }
  return a.size() - ones;
}

// Levenshtein.ratio: (L - d) / L with d the distance where a substitution
// costs 2.
double lev_ratio(std::u32string_view a, std::u32string_view b) {
  const std::size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  const std::size_t d = total - 2 * lcs_len(a, b);
  return static_cast<double>(total - d) / static_cast<double>(total);
}

enum class Op { insert, erase, replace };
struct EditOp {
  Op type;
  std::size_t spos, dpos;
};

// Levenshtein.editops(s1, s2): the edit path python-Levenshtein picks.
std::vector<EditOp> editops(std::u32string_view s1, std::u32string_view s2) {
  std::size_t off = 0;
  while (!s1.empty() && !s2.empty() && s1.front() == s2.front()) {
    s1.remove_prefix(1);
    s2.remove_prefix(1);
    ++off;
  }
  while (!s1.empty() && !s2.empty() && s1.back() == s2.back()) {
    s1.remove_suffix(1);
    s2.remove_suffix(1);
  }
  const std::size_t len1 = s1.size() + 1, len2 = s2.size() + 1;
  std::vector<std::size_t> m(len1 * len2);
  for (std::size_t j = 0; j < len2; ++j) m[j] = j;
  for (std::size_t i = 1; i < len1; ++i) m[len2 * i] = i;
  for (std::size_t i = 1; i < len1; ++i) {
    const std::size_t* prev = &m[(i - 1) * len2];
    std::size_t* p = &m[i * len2];
    const char32_t c1 = s1[i - 1];
    std::size_t x = i;
    for (std::size_t j = 1; j < len2; ++j) {
      std::size_t c3 = prev[j - 1] + (c1 != s2[j - 1]);
      ++x;
      if (x > c3) x = c3;
      c3 = prev[j] + 1;
      if (x > c3) x = c3;
      p[j] = x;
    }
  }
  std::size_t pos = m[len1 * len2 - 1];
  std::vector<EditOp> ops(pos);
  if (pos == 0) return ops;
  std::size_t i = len1 - 1, j = len2 - 1;
  std::size_t p = len1 * len2 - 1;
  int dir = 0;
  while (i || j) {
    if (dir < 0 && j && m[p] == m[p - 1] + 1) {
      ops[--pos] = {Op::insert, i + off, --j + off};
      --p;
      continue;
    }
    if (dir > 0 && i && m[p] == m[p - len2] + 1) {
      ops[--pos] = {Op::erase, --i + off, j + off};
      p -= len2;
      continue;
    }
    if (i && j && m[p] == m[p - len2 - 1] && s1[i - 1] == s2[j - 1]) {
      --i;
      --j;
      p -= len2 + 1;
      dir = 0;
      continue;
    }
    if (i && j && m[p] == m[p - len2 - 1] + 1) {
      --i;
      --j;
      ops[--pos] = {Op::replace, i + off, j + off};
      p -= len2 + 1;
      dir = 0;
      continue;
    }
    if (dir == 0 && j && m[p] == m[p - 1] + 1) {
      ops[--pos] = {Op::insert, i + off, --j + off};
      --p;
      dir = -1;
      continue;
    }
    if (dir == 0 && i && m[p] == m[p - len2] + 1) {
      ops[--pos] = {Op::erase, --i + off, j + off};
      p -= len2;
      dir = 1;
      continue;
    }
    break;  // not reached for a consistent matrix
  }
  return ops;
}

struct Block {
  std::size_t spos, dpos, len;
};

// SequenceMatcher.get_matching_blocks of python-Levenshtein, the closing
// (len1, len2, 0) included.
std::vector<Block> matching_blocks(std::u32string_view s1, std::u32string_view s2) {
  std::vector<Block> out;
  std::size_t spos = 0, dpos = 0;
  for (const EditOp& o : editops(s1, s2)) {
    if (spos < o.spos || dpos < o.dpos) {
      out.push_back({spos, dpos, o.spos - spos});
      spos = o.spos;
      dpos = o.dpos;
    }
    switch (o.type) {
      case Op::replace:
        ++spos;
        ++dpos;
        break;
      case Op::erase:
        ++spos;
        break;
      case Op::insert:
        ++dpos;
        break;
    }
  }
  if (spos < s1.size() || dpos < s2.size()) out.push_back({spos, dpos, s1.size() - spos});
  out.push_back({s1.size(), s2.size(), 0});
  return out;
}

std::u32string sorted_tokens(std::u32string_view s) {
  auto tokens = split_ws(s);
  std::sort(tokens.begin(), tokens.end());
  return std::u32string(strip(join(tokens)));
}

std::vector<std::u32string_view> token_set_of(std::u32string_view s) {
  auto tokens = split_ws(s);
  std::sort(tokens.begin(), tokens.end());
  tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
  return tokens;
}

}  // namespace

std::u32string full_process(std::u32string_view s, bool force_ascii) {
  std::string kept;
  for (const char32_t c : s) {
    if (force_ascii && c >= 0x80 && c <= 0xff) continue;
    utf8_append(kept, is_word(c) ? c : U' ');
  }
  const std::string lower = py_lower(kept);
  return wtf8_to_u32(py_strip(lower));
}

int ratio(std::u32string_view a, std::u32string_view b) {
  if (a == b) return 100;
  if (a.empty() || b.empty()) return 0;
  return intr(100 * lev_ratio(a, b));
}

int partial_ratio(std::u32string_view a, std::u32string_view b) {
  if (a == b) return 100;
  if (a.empty() || b.empty()) return 0;
  const std::u32string_view shorter = a.size() <= b.size() ? a : b;
  const std::u32string_view longer = a.size() <= b.size() ? b : a;
  double best = 0;
  for (const Block& bl : matching_blocks(shorter, longer)) {
    const std::size_t start = bl.dpos > bl.spos ? bl.dpos - bl.spos : 0;
    const std::u32string_view sub =
        start < longer.size() ? longer.substr(start, shorter.size()) : std::u32string_view();
    const double r = lev_ratio(shorter, sub);
    if (r > .995) return 100;
    best = std::max(best, r);
  }
  return intr(100 * best);
}

int token_sort_ratio(std::u32string_view a, std::u32string_view b, bool partial) {
  const std::u32string s1 = sorted_tokens(a), s2 = sorted_tokens(b);
  return partial ? partial_ratio(s1, s2) : ratio(s1, s2);
}

int token_set_ratio(std::u32string_view a, std::u32string_view b, bool partial) {
  if (a == b) return 100;
  if (a.empty() || b.empty()) return 0;
  const auto t1 = token_set_of(a), t2 = token_set_of(b);
  std::vector<std::u32string_view> sect, d12, d21;
  std::set_intersection(t1.begin(), t1.end(), t2.begin(), t2.end(), std::back_inserter(sect));
  std::set_difference(t1.begin(), t1.end(), t2.begin(), t2.end(), std::back_inserter(d12));
  std::set_difference(t2.begin(), t2.end(), t1.begin(), t1.end(), std::back_inserter(d21));
  const std::u32string ss = join(sect);
  const std::u32string c12 = std::u32string(strip(ss + U" " + join(d12)));
  const std::u32string c21 = std::u32string(strip(ss + U" " + join(d21)));
  const std::u32string_view s = strip(ss);
  auto f = [partial](std::u32string_view x, std::u32string_view y) {
    return partial ? partial_ratio(x, y) : ratio(x, y);
  };
  return std::max({f(s, c12), f(s, c21), f(c12, c21)});
}

int wratio(std::u32string_view p1, std::u32string_view p2) {
  if (p1.empty() || p2.empty()) return 0;
  const double base = ratio(p1, p2);
  const double len_ratio =
      static_cast<double>(std::max(p1.size(), p2.size())) / static_cast<double>(std::min(p1.size(), p2.size()));
  if (len_ratio < 1.5) {
    const double tsor = token_sort_ratio(p1, p2) * .95;
    const double tser = token_set_ratio(p1, p2) * .95;
    return intr(std::max({base, tsor, tser}));
  }
  const double scale = len_ratio > 8 ? .6 : .9;
  const double partial = partial_ratio(p1, p2) * scale;
  const double ptsor = token_sort_ratio(p1, p2, true) * .95 * scale;
  const double ptser = token_set_ratio(p1, p2, true) * .95 * scale;
  return intr(std::max({base, partial, ptsor, ptser}));
}

std::u32string process_query(std::string_view line) {
  return full_process(full_process(wtf8_to_u32(line), false), true);
}

std::u32string process_choice(std::string_view choice) { return full_process(wtf8_to_u32(choice), true); }

std::optional<Match> extract_one(std::string_view query, const std::vector<std::string>& choices) {
  if (choices.empty()) return std::nullopt;
  const std::u32string q = process_query(query);
  std::optional<Match> best;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    const int score = wratio(q, process_choice(choices[i]));
    if (!best || score > best->score) best = Match{i, score};
  }
  return best;
}

Prepared prepare(std::u32string processed) {
  Prepared p;
  p.text = std::move(processed);
  p.sorted_tokens = sorted_tokens(p.text);
  for (auto t : token_set_of(p.text)) p.token_set.emplace_back(t);
  return p;
}

bool reaches(const Prepared& q, const Prepared& c, int threshold) {
  const std::size_t la = q.text.size(), lb = c.text.size();
  if (la == 0 || lb == 0) return false;
  if (2 * std::max(la, lb) >= 3 * std::min(la, lb)) return false;  // partial branch: at most 90
  if (q.text == c.text) return true;
  // ratio(x, y) <= 100 * 2 * min / (|x| + |y|): skip what cannot reach.
  auto may_reach = [](std::size_t x, std::size_t y, double needed) {
    return 100.0 * 2 * static_cast<double>(std::min(x, y)) / static_cast<double>(x + y) >= needed - 0.5;
  };
  if (may_reach(la, lb, threshold) && ratio(q.text, c.text) >= threshold) return true;
  // The token scores count 0.95 of their value: only 100 reaches 95.
  const double needed = std::ceil(threshold / .95 - 1e-9);
  if (needed > 100) return false;
  if (may_reach(q.sorted_tokens.size(), c.sorted_tokens.size(), needed) &&
      intr(ratio(q.sorted_tokens, c.sorted_tokens) * .95) >= threshold)
    return true;
  std::vector<std::u32string_view> sect, d12, d21;
  std::set_intersection(q.token_set.begin(), q.token_set.end(), c.token_set.begin(), c.token_set.end(),
                        std::back_inserter(sect));
  std::set_difference(q.token_set.begin(), q.token_set.end(), c.token_set.begin(), c.token_set.end(),
                      std::back_inserter(d12));
  std::set_difference(c.token_set.begin(), c.token_set.end(), q.token_set.begin(), q.token_set.end(),
                      std::back_inserter(d21));
  const std::u32string ss = join(sect);
  const std::u32string_view s = strip(ss);
  const std::u32string c12(strip(ss + U" " + join(d12)));
  const std::u32string c21(strip(ss + U" " + join(d21)));
  for (auto [x, y] : {std::pair{s, std::u32string_view(c12)}, std::pair{s, std::u32string_view(c21)},
                      std::pair{std::u32string_view(c12), std::u32string_view(c21)}}) {
    if (x == y) return true;
    if (!may_reach(x.size(), y.size(), needed)) continue;
    if (intr(ratio(x, y) * .95) >= threshold) return true;
  }
  return false;
}

}  // namespace tessel::orvik::fuzzy
