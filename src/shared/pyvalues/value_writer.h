#pragma once
// One walk over a value for the writers that print it as text (JSON text,
// Python repr). The style decides how each leaf is spelled; the walk does
// the nesting, the separators and the depth limit.
//
// A style provides:
//   static constexpr const char* kNull, kTrue, kFalse;
//   static constexpr const char* kTooDeep;  // message of the depth error
//   void number_float(std::string& out, double d) const;
//   void text(std::string& out, std::string_view s) const;  // strings and keys
//   void binary(std::string& out, const Json& v) const;
//   bool sort_keys() const;  // members in key order, else as stored
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel {

template <class Style>
void write_value(std::string& out, const Json& v, const Style& style, int depth) {
  if (depth > kPyMaxDepth) throw PyValueError(Style::kTooDeep);
  switch (v.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      out += Style::kNull;
      return;
    case Json::value_t::boolean:
      out += v.get<bool>() ? Style::kTrue : Style::kFalse;
      return;
    case Json::value_t::number_integer:
      out += std::to_string(v.get<std::int64_t>());
      return;
    case Json::value_t::number_unsigned:
      out += std::to_string(v.get<std::uint64_t>());
      return;
    case Json::value_t::number_float:
      style.number_float(out, v.get<double>());
      return;
    case Json::value_t::string:
      style.text(out, v.get_ref<const std::string&>());
      return;
    case Json::value_t::binary:
      style.binary(out, v);
      return;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += ", ";
        first = false;
        write_value(out, e, style, depth + 1);
      }
      out.push_back(']');
      return;
    }
    case Json::value_t::object: {
      const auto& m = v.get_ref<const Json::object_t&>();
      auto member = [&](const Json::object_t::value_type& kv, bool first) {
        if (!first) out += ", ";
        style.text(out, kv.first);
        out += ": ";
        write_value(out, kv.second, style, depth + 1);
      };
      out.push_back('{');
      if (style.sort_keys()) {
        std::vector<const Json::object_t::value_type*> items;
        items.reserve(m.size());
        for (const auto& kv : m) items.push_back(&kv);
        std::sort(items.begin(), items.end(), [](auto* a, auto* b) { return a->first < b->first; });
        for (std::size_t k = 0; k < items.size(); ++k) member(*items[k], k == 0);
      } else {
        bool first = true;
        for (const auto& kv : m) {
          member(kv, first);
          first = false;
        }
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace tessel
