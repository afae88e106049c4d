#include "schemix/schema_builder.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::schemix {

namespace {
enum class Kind : unsigned char { null, boolean, number, string, array, object };

// An empty object with room for `n` members: members are copied, not moved,
// when an object's storage grows, and a copied member may hold a whole
// subtree.
Json object_of(std::size_t n) {
  Json o = Json::object();
  o.get_ref<Json::object_t&>().reserve(n);
  return o;
}
}  // namespace

struct SchemaBuilder::Node {
  std::vector<Kind> kinds;  // in order of first appearance
  bool saw_float = false;
  std::unique_ptr<Node> items;  // array: elements of every array seen
  std::map<std::string, std::unique_ptr<Node>, std::less<>> properties;
  std::optional<std::vector<std::string>> required;  // sorted; names every object had

  void activate(Kind k) {
    if (std::find(kinds.begin(), kinds.end(), k) == kinds.end()) kinds.push_back(k);
  }

  void add(const Json& v, int depth) {
    if (depth > kPyMaxDepth) throw PyValueError("maximum recursion depth exceeded while building a schema");
    switch (v.type()) {
      case Json::value_t::null:
        activate(Kind::null);
        return;
      case Json::value_t::boolean:
        activate(Kind::boolean);
        return;
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned:
        activate(Kind::number);
        return;
      case Json::value_t::number_float:
        activate(Kind::number);
        saw_float = true;
        return;
      case Json::value_t::string:
        activate(Kind::string);
        return;
      case Json::value_t::binary:
        if (py_is_bigint(v)) {
          activate(Kind::number);
          return;
        }
        throw PyValueError("Could not find matching schema type for object: " + py_repr(v));
      case Json::value_t::array:
        activate(Kind::array);
        if (!v.empty() && !items) items = std::make_unique<Node>();
        for (const auto& e : v) items->add(e, depth + 1);
        return;
      case Json::value_t::object:
        add_members(v, depth);
        return;
      case Json::value_t::discarded:
        break;
    }
    throw PyValueError("Could not find matching schema type for a discarded value");
  }

  void add_members(const Json& obj, int depth) {
    activate(Kind::object);
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      auto p = properties.find(it.key());
      if (p == properties.end()) p = properties.emplace(it.key(), std::make_unique<Node>()).first;
      p->second->add(it.value(), depth + 1);
    }
    if (!required) {
      required.emplace();
      required->reserve(obj.size());
      for (auto it = obj.begin(); it != obj.end(); ++it) required->push_back(it.key());
      std::sort(required->begin(), required->end());
      return;
    }
    if (required->empty()) return;
    // The required names this object has too, kept in place.
    std::vector<std::string_view> names;
    names.reserve(obj.size());
    for (auto it = obj.begin(); it != obj.end(); ++it) names.push_back(it.key());
    std::sort(names.begin(), names.end());
    std::erase_if(*required, [&names](const std::string& name) {
      return !std::binary_search(names.begin(), names.end(), std::string_view(name));
    });
  }

  Json kind_schema(Kind k) const {
    switch (k) {
      case Kind::null:
        return Json{{"type", "null"}};
      case Kind::boolean:
        return Json{{"type", "boolean"}};
      case Kind::number:
        return Json{{"type", saw_float ? "number" : "integer"}};
      case Kind::string:
        return Json{{"type", "string"}};
      case Kind::array: {
        Json s = object_of(2);
        s["type"] = "array";
        if (items) s["items"] = items->schema();
        return s;
      }
      case Kind::object: {
        Json s = object_of(3);
        s["type"] = "object";
        if (!properties.empty()) {
          Json props = object_of(properties.size());
          // appended in name order, without look-ups
          auto& members = props.get_ref<Json::object_t&>();
          for (const auto& [name, node] : properties) members.emplace_back(name, node->schema());
          s["properties"] = std::move(props);
        }
        if (required && !required->empty()) s["required"] = *required;
        return s;
      }
    }
    return Json::object();
  }

  Json schema() const {
    std::vector<std::string> types;
    Json nested = Json::array();
    for (const Kind k : kinds) {
      Json s = kind_schema(k);
      if (s.size() == 1) {
        std::string t = s["type"].get<std::string>();
        if (std::find(types.begin(), types.end(), t) == types.end()) types.push_back(std::move(t));
      } else {
        nested.push_back(std::move(s));
      }
    }
    Json all = Json::array();
    if (!types.empty()) {
      std::sort(types.begin(), types.end());
      all.push_back(Json{{"type", types.size() == 1 ? Json(types[0]) : Json(types)}});
    }
    for (auto& s : nested) all.push_back(std::move(s));
    if (all.empty()) return Json::object();
    if (all.size() == 1) return std::move(all[0]);
    return Json{{"anyOf", std::move(all)}};
  }
};

SchemaBuilder::SchemaBuilder() : root_(std::make_unique<Node>()) {}
SchemaBuilder::~SchemaBuilder() = default;
SchemaBuilder::SchemaBuilder(SchemaBuilder&&) noexcept = default;
SchemaBuilder& SchemaBuilder::operator=(SchemaBuilder&&) noexcept = default;

void SchemaBuilder::add_object(const Json& value) { root_->add(value, 0); }

Json SchemaBuilder::to_schema() const { return root_->schema(); }

std::string canonical_text(const Json& value) { return json_dumps(value, true); }

}  // namespace tessel::schemix
