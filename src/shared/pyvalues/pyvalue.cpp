#include "shared/pyvalues/pyvalue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/utf8.h"
#include "shared/pyvalues/value_writer.h"

namespace tessel {
namespace {

const char kHex[] = "0123456789abcdef";

__extension__ typedef __int128 Int128;

void append_hex(std::string& out, const char* prefix, std::uint32_t v, int digits) {
  out += prefix;
  for (int k = digits - 1; k >= 0; --k) out.push_back(kHex[(v >> (4 * k)) & 0xF]);
}

// Unsigned big numbers as little-endian limbs of base 1e9; only what the
// conversions of huge ints need.
using Limbs = std::vector<std::uint32_t>;
constexpr std::uint32_t kLimbBase = 1000000000;

void limbs_mul_add(Limbs& x, std::uint32_t mul, std::uint32_t add) {
  std::uint64_t carry = add;
  for (auto& limb : x) {
    std::uint64_t v = static_cast<std::uint64_t>(limb) * mul + carry;
    limb = static_cast<std::uint32_t>(v % kLimbBase);
    carry = v / kLimbBase;
  }
  while (carry) {
    x.push_back(static_cast<std::uint32_t>(carry % kLimbBase));
    carry /= kLimbBase;
  }
}

std::string limbs_text(const Limbs& x) {
  if (x.empty()) return "0";
  std::string out = std::to_string(x.back());
  char buf[16];
  for (std::size_t k = x.size() - 1; k-- > 0;) {
    std::snprintf(buf, sizeof buf, "%09u", x[k]);
    out += buf;
  }
  return out;
}

[[noreturn]] void too_many_digits(std::size_t n) {
  if (n)
    throw PyValueError("Exceeds the limit (4300 digits) for integer string conversion: value has " + std::to_string(n) +
                       " digits; use sys.set_int_max_str_digits() to increase the limit");
  throw PyValueError(
      "Exceeds the limit (4300 digits) for integer string conversion; use sys.set_int_max_str_digits() to "
      "increase the limit");
}

// The exact decimal digits of an integral double of magnitude >= 2^64.
std::string exact_integer_text(double d) {
  int exp;
  double m = std::frexp(std::fabs(d), &exp);  // |d| = m * 2^exp, 0.5 <= m < 1
  auto mant = static_cast<std::uint64_t>(std::ldexp(m, 53));
  exp -= 53;
  Limbs x;
  for (; mant; mant /= kLimbBase) x.push_back(static_cast<std::uint32_t>(mant % kLimbBase));
  for (; exp > 0; exp -= 29) limbs_mul_add(x, 1u << (exp < 29 ? exp : 29), 0);
  return (d < 0 ? "-" : "") + limbs_text(x);
}

// The quote repr() puts around a text: ' unless the text holds ' and no ".
char repr_quote(std::string_view s) {
  bool squote = s.find('\'') != std::string_view::npos;
  bool dquote = s.find('"') != std::string_view::npos;
  return squote && !dquote ? '"' : '\'';
}

// An ASCII character inside a repr() literal quoted with q.
void repr_ascii(std::string& out, unsigned char c, char q) {
  if (c == static_cast<unsigned char>(q) || c == '\\') {
    out.push_back('\\');
    out.push_back(static_cast<char>(c));
  } else if (c == '\t') {
    out += "\\t";
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\r') {
    out += "\\r";
  } else if (c < 0x20 || c == 0x7F) {
    append_hex(out, "\\x", c, 2);
  } else {
    out.push_back(static_cast<char>(c));
  }
}

void repr_str_into(std::string& out, std::string_view s) {
  const char q = repr_quote(s);
  out.push_back(q);
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      repr_ascii(out, c, q);
      continue;
    }
    char32_t cp = wtf8_next(s, i);
    if (py_isprintable(cp))
      utf8_append(out, cp);
    else if (cp <= 0xFF)
      append_hex(out, "\\x", cp, 2);
    else if (cp <= 0xFFFF)
      append_hex(out, "\\u", cp, 4);
    else
      append_hex(out, "\\U", cp, 8);
  }
  out.push_back(q);
}

void repr_bytes_into(std::string& out, std::string_view b) {
  const char q = repr_quote(b);
  out.push_back('b');
  out.push_back(q);
  for (unsigned char c : b) {
    if (c >= 0x80)
      append_hex(out, "\\x", c, 2);
    else
      repr_ascii(out, c, q);
  }
  out.push_back(q);
}

void repr_float_into(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  if (std::isinf(d)) {
    out += d > 0 ? "inf" : "-inf";
    return;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));  // [-]d[.ddd]e(+|-)dd
  bool neg = sci.front() == '-';
  if (neg) sci.remove_prefix(1);
  std::size_t epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits.push_back(c);
  int exp10 = 0;
  std::from_chars(sci.data() + epos + 1 + (sci[epos + 1] == '+'), sci.data() + sci.size(), exp10);
  int decpt = exp10 + 1;  // position of the decimal point after the first digit
  auto n = static_cast<int>(digits.size());
  if (neg) out.push_back('-');
  if (decpt > -4 && decpt <= 16) {
    if (decpt <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-decpt), '0');
      out += digits;
    } else if (decpt >= n) {
      out += digits;
      out.append(static_cast<std::size_t>(decpt - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(decpt));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(decpt));
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(exp10 < 0 ? '-' : '+');
  int a = exp10 < 0 ? -exp10 : exp10;
  if (a < 10) out.push_back('0');
  out += std::to_string(a);
}

// Leaves spelled as Python prints them.
struct ReprStyle {
  static constexpr const char* kNull = "None";
  static constexpr const char* kTrue = "True";
  static constexpr const char* kFalse = "False";
  static constexpr const char* kTooDeep = "maximum recursion depth exceeded while getting the repr of an object";

  void number_float(std::string& out, double d) const { repr_float_into(out, d); }
  void text(std::string& out, std::string_view s) const { repr_str_into(out, s); }
  void binary(std::string& out, const Json& v) const {
    if (py_is_bigint(v))
      out += py_bigint_text(v);
    else
      repr_bytes_into(out, py_bytes_view(v));
  }
  bool sort_keys() const { return false; }
};

void repr_into(std::string& out, const Json& v, int depth) { write_value(out, v, ReprStyle{}, depth); }

bool is_numeric(const Json& v) { return v.is_boolean() || v.is_number() || py_is_bigint(v); }

Int128 as_int128(const Json& v) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  return v.get<std::int64_t>();
}

bool numeric_equal(const Json& a, const Json& b) {
  if (a.is_number_float() || b.is_number_float()) {
    const Json& f = a.is_number_float() ? a : b;
    const Json& o = a.is_number_float() ? b : a;
    double d = f.get<double>();
    if (o.is_number_float()) return d == o.get<double>();
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (py_is_bigint(o)) return std::fabs(d) >= 0x1p63 && exact_integer_text(d) == py_bigint_text(o);
    if (std::fabs(d) >= 0x1p100) return false;
    return static_cast<Int128>(d) == as_int128(o);
  }
  bool abig = py_is_bigint(a), bbig = py_is_bigint(b);
  if (abig || bbig) return abig && bbig && a.get_binary() == b.get_binary();
  return as_int128(a) == as_int128(b);
}

}  // namespace

Json py_bytes(std::string_view data) { return Json::binary(Json::binary_t::container_type(data.begin(), data.end())); }

bool py_is_bytes(const Json& v) {
  return v.is_binary() && !(v.get_binary().has_subtype() && v.get_binary().subtype() == kPyBigIntSubtype);
}

std::string_view py_bytes_view(const Json& v) {
  const auto& b = v.get_binary();
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

bool py_is_bigint(const Json& v) {
  return v.is_binary() && v.get_binary().has_subtype() && v.get_binary().subtype() == kPyBigIntSubtype;
}

std::string py_bigint_text(const Json& v) { return std::string(py_bytes_view(v)); }

bool py_is_int(const Json& v) { return v.is_number_integer() || py_is_bigint(v); }

Json py_make_int(std::string_view digits, int base, bool negative) {
  std::size_t z = 0;
  while (z + 1 < digits.size() && digits[z] == '0') ++z;
  digits.remove_prefix(z);
  if (digits.empty()) throw PyValueError("empty integer literal");
  std::uint64_t u = 0;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), u, base);
  if (r.ptr != digits.data() + digits.size() && r.ec != std::errc::result_out_of_range)
    throw PyValueError("invalid digit in integer literal");
  if (r.ec == std::errc()) {
    if (!negative) {
      if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Json(static_cast<std::int64_t>(u));
      return Json(u);
    }
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Json(-static_cast<std::int64_t>(u));
    if (u == static_cast<std::uint64_t>(INT64_MAX) + 1) return Json(INT64_MIN);
  }
  std::string text;
  if (base == 10) {
    if (digits.size() > kPyMaxIntDigits) too_many_digits(digits.size());
    text = digits;
  } else {
    Limbs x;
    for (char c : digits) {
      int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
      limbs_mul_add(x, static_cast<std::uint32_t>(base), static_cast<std::uint32_t>(d));
      if (x.size() * 9 > kPyMaxIntDigits + 9) too_many_digits(0);
    }
    text = limbs_text(x);
    if (text.size() > kPyMaxIntDigits) too_many_digits(0);
  }
  if (negative) text.insert(text.begin(), '-');
  return Json::binary(Json::binary_t::container_type(text.begin(), text.end()), kPyBigIntSubtype);
}

double py_float_from_text(std::string_view t) {
  double d = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), d);
  if (r.ec != std::errc::result_out_of_range) return d;
  // Out of range: infinity when the magnitude is large, zero when tiny.
  bool neg = !t.empty() && t.front() == '-';
  if (neg) t.remove_prefix(1);
  std::size_t e = t.find_first_of("eE");
  std::string_view mant = t.substr(0, e);
  long long exp = 0;
  if (e != std::string_view::npos) {
    std::string_view x = t.substr(e + 1);
    bool eneg = !x.empty() && x[0] == '-';
    if (!x.empty() && (x[0] == '-' || x[0] == '+')) x.remove_prefix(1);
    for (char c : x) exp = std::min<long long>(exp * 10 + (c - '0'), 1000000);
    if (eneg) exp = -exp;
  }
  std::size_t dot = mant.find('.');
  std::string_view ip = mant.substr(0, dot);
  std::size_t nz = ip.find_first_not_of('0');
  long long mag;
  if (nz != std::string_view::npos) {
    mag = static_cast<long long>(ip.size() - nz);
  } else {
    std::string_view fp = dot == std::string_view::npos ? std::string_view() : mant.substr(dot + 1);
    std::size_t fz = fp.find_first_not_of('0');
    mag = fz == std::string_view::npos ? -1000000 : -static_cast<long long>(fz);
  }
  double v = exp + mag > 0 ? HUGE_VAL : 0.0;
  return neg ? -v : v;
}

void PyDictBuilder::put(std::string key, Json value) {
  // Below this size a linear search of the members is quicker than keeping
  // an index (request messages have about 20).
  constexpr std::size_t kIndexed = 32;
  if (members_.size() < kIndexed) {
    for (auto& [k, v] : members_)
      if (k == key) {
        v = std::move(value);
        return;
      }
    members_.emplace_back(std::move(key), std::move(value));
    if (members_.size() == kIndexed)
      for (std::size_t k = 0; k < members_.size(); ++k) index_.emplace(members_[k].first, k);
    return;
  }
  auto [it, fresh] = index_.emplace(key, members_.size());
  if (fresh)
    members_.emplace_back(std::move(key), std::move(value));
  else
    members_[it->second].second = std::move(value);
}

Json PyDictBuilder::take() {
  Json obj = Json::object();
  auto& m = obj.get_ref<Json::object_t&>();
  m.reserve(members_.size());
  for (auto& [k, v] : members_) m.emplace_back(std::move(k), std::move(v));
  members_.clear();
  index_.clear();
  return obj;
}

const char* py_type_name(const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean:
      return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "int";
    case Json::value_t::number_float:
      return "float";
    case Json::value_t::string:
      return "str";
    case Json::value_t::binary:
      return py_is_bigint(v) ? "int" : "bytes";
    case Json::value_t::array:
      return "list";
    case Json::value_t::object:
      return "dict";
    default:
      return "NoneType";
  }
}

std::string py_repr(const Json& v) {
  std::string out;
  repr_into(out, v, 0);
  return out;
}

std::string py_str(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  return py_repr(v);
}

std::string py_repr_str(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  repr_str_into(out, s);
  return out;
}

std::string py_repr_bytes(std::string_view b) {
  std::string out;
  out.reserve(b.size() + 3);
  repr_bytes_into(out, b);
  return out;
}

std::string py_repr_float(double d) {
  std::string out;
  repr_float_into(out, d);
  return out;
}

std::string py_repr_tuple(const Json& items) {
  if (!items.is_array()) return py_repr(items);
  std::string out = "(";
  bool first = true;
  for (const auto& e : items) {
    if (!first) out += ", ";
    first = false;
    repr_into(out, e, 1);
  }
  if (items.size() == 1) out.push_back(',');
  out.push_back(')');
  return out;
}

bool py_truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean:
      return v.get<bool>();
    case Json::value_t::number_integer:
      return v.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return v.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return v.get<double>() != 0.0;
    case Json::value_t::string:
      return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !v.empty();
    case Json::value_t::binary:
      return !v.get_binary().empty();
    default:
      return false;
  }
}

std::int64_t py_int(const Json& v) {
  auto out_of_range = [&] { return PyValueError("integer out of range: " + py_repr(v)); };
  switch (v.type()) {
    case Json::value_t::boolean:
      return v.get<bool>() ? 1 : 0;
    case Json::value_t::number_integer:
      return v.get<std::int64_t>();
    case Json::value_t::number_unsigned:
      if (v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) throw out_of_range();
      return static_cast<std::int64_t>(v.get<std::uint64_t>());
    case Json::value_t::number_float: {
      double d = v.get<double>();
      if (std::isnan(d)) throw PyValueError("cannot convert float NaN to integer");
      if (std::isinf(d)) throw PyValueError("cannot convert float infinity to integer");
      d = std::trunc(d);
      if (d < -0x1p63 || d >= 0x1p63) throw out_of_range();
      return static_cast<std::int64_t>(d);
    }
    case Json::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      std::string_view t = py_strip(s);
      bool neg = false;
      if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
      }
      bool digits = !t.empty();
      for (char c : t) digits = digits && c >= '0' && c <= '9';
      if (!digits) throw PyValueError("invalid literal for int() with base 10: " + py_repr_str(s));
      std::uint64_t u = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), u);
      if (r.ec != std::errc() || u > static_cast<std::uint64_t>(INT64_MAX) + (neg ? 1 : 0)) throw out_of_range();
      return neg ? static_cast<std::int64_t>(0 - u) : static_cast<std::int64_t>(u);
    }
    default:
      if (py_is_bigint(v)) throw out_of_range();
      throw PyValueError(std::string("int() argument must be a string, a bytes-like object or a real number, not '") +
                         py_type_name(v) + "'");
  }
}

namespace {

bool equal_at(const Json& v, const Json& w, int depth) {
  if (depth > kPyMaxDepth) throw PyValueError("maximum recursion depth exceeded in comparison");
  if (is_numeric(v) && is_numeric(w)) return numeric_equal(v, w);
  if (v.type() != w.type()) return false;
  switch (v.type()) {
    case Json::value_t::string:
      return v.get_ref<const std::string&>() == w.get_ref<const std::string&>();
    case Json::value_t::binary:
      return v.get_binary() == w.get_binary();
    case Json::value_t::array: {
      if (v.size() != w.size()) return false;
      for (std::size_t i = 0; i < v.size(); ++i)
        if (!equal_at(v[i], w[i], depth + 1)) return false;
      return true;
    }
    case Json::value_t::object: {
      if (v.size() != w.size()) return false;
      for (const auto& [k, e] : v.items()) {
        auto it = w.find(k);
        if (it == w.end() || !equal_at(e, *it, depth + 1)) return false;
      }
      return true;
    }
    default:
      return true;  // null, discarded
  }
}

}  // namespace

bool py_equal(const Json& v, const Json& w) { return equal_at(v, w, 0); }

}  // namespace tessel
