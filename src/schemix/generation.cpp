#include "schemix/generation.h"

#include <algorithm>
#include <exception>
#include <unordered_set>
#include <utility>

#include "core/base/log.h"
#include "schemix/schema_builder.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::schemix {

namespace {

void log_error(const LogSink& sink, const std::string& text) { core::log_processing(sink, "error", "schemix", text); }

template <class T, class Key>
void add_distinct(std::vector<T>& seen, const Key& k) {
  if (std::find(seen.begin(), seen.end(), k) == seen.end()) seen.push_back(k);
}

void merge_object(PyDictBuilder& merged, const Json& obj) {
  for (auto it = obj.begin(); it != obj.end(); ++it) merged.put(it.key(), it.value());
}

}  // namespace

Json make_fragment(const std::string& schema_name, const std::string& path, const std::string& method, Json schema) {
  Json inner = Json::object();
  inner["schema"] = std::move(schema);
  Json content = Json::object();
  content["*/*"] = std::move(inner);
  Json body = Json::object();
  body["content"] = std::move(content);
  Json op = Json::object();
  op["requestBody"] = std::move(body);
  Json m = Json::object();
  m[method] = std::move(op);
  Json p = Json::object();
  p[path] = std::move(m);
  Json f = Json::object();
  f[schema_name] = std::move(p);
  return f;
}

std::vector<bool> record_fragments(SharedNamespace& nsi, const std::vector<Json>& fragments) {
  std::vector<std::string> texts;
  texts.reserve(fragments.size());
  for (const auto& f : fragments) texts.push_back(canonical_text(f));
  return record_fragments(nsi, fragments, texts);
}

std::vector<bool> record_fragments(SharedNamespace& nsi, const std::vector<Json>& fragments,
                                   const std::vector<std::string>& texts) {
  return nsi.update<Json>("schemix_schemas_list", [&](Json& list) {
    if (!list.is_array()) list = Json::array();
    std::unordered_set<std::string> known;
    for (const auto& f : list) known.insert(canonical_text(f));
    std::vector<bool> recorded;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
      recorded.push_back(known.insert(texts[i]).second);
      if (recorded.back()) list.push_back(fragments[i]);
    }
    return recorded;
  });
}

bool record_fragment(SharedNamespace& nsi, const Json& fragment) { return record_fragments(nsi, {fragment}).front(); }

void forget_fragment(SharedNamespace& nsi, const Json& fragment) {
  nsi.update<Json>("schemix_schemas_list", [&](Json& list) {
    if (!list.is_array()) return;
    Json kept = Json::array();
    for (auto& f : list)
      if (!py_equal(f, fragment)) kept.push_back(std::move(f));
    list = std::move(kept);
  });
}

std::vector<Json> schemix_schemas_generation(SharedNamespace& nsi, const std::vector<SchemaRecord>& records,
                                             const std::vector<std::size_t>& data, const LogSink& sink) {
  std::vector<Json> result;
  if (data.empty()) return result;
  std::vector<Json> made;  // in the order made; recorded together below
  std::vector<std::string> made_texts;
  std::vector<std::string> names;
  for (const std::size_t i : data) add_distinct(names, records[i].schema_name);
  for (const auto& name : names) {
    std::vector<std::size_t> schema_data;
    std::vector<std::string> paths;
    for (const std::size_t i : data)
      if (records[i].schema_name == name) {
        schema_data.push_back(i);
        add_distinct(paths, records[i].url);
      }
    for (const auto& path : paths) {
      std::vector<Json> methods;
      for (const std::size_t i : schema_data)
        if (records[i].url == path) add_distinct(methods, records[i].method);
      for (const auto& method : methods) {
        // Each group by itself: a failing group yields nothing.
        try {
          PyDictBuilder merged;
          for (const std::size_t i : schema_data) {
            const SchemaRecord& r = records[i];
            if (r.url != path || r.method != method) continue;
            if (r.body.is_object()) {
              merge_object(merged, r.body);
            } else if (r.body.is_array()) {
              for (const auto& e : r.body) {
                if (!e.is_object())
                  throw PyValueError(std::string("'") + py_type_name(e) + "' object is not a mapping");
                merge_object(merged, e);
              }
            } else {
              log_error(sink, std::string("An error occurred while processing body in schema_data: incorrect data type "
                                          "(<class '") +
                                  py_type_name(r.body) + "'>) (" + r.url + ", " + py_str(r.method) + ")");
            }
          }
          Json merged_body = merged.take();
          if (merged_body.empty()) continue;
          if (!method.is_string())
            throw PyValueError(std::string("'") + py_type_name(method) + "' object has no attribute 'lower'");
          SchemaBuilder builder;
          builder.add_object(merged_body);
          Json fragment = make_fragment(name, path, py_lower(method.get<std::string>()), builder.to_schema());
          // Its text here: a schema too deep to write fails this group only.
          std::string text = canonical_text(fragment);
          made.push_back(std::move(fragment));
          made_texts.push_back(std::move(text));
        } catch (const std::exception& e) {
          log_error(sink, std::string("An error occurred while generating Schemix schema: ") + e.what());
        }
      }
    }
  }
  try {
    const std::vector<bool> recorded = record_fragments(nsi, made, made_texts);
    for (std::size_t i = 0; i < made.size(); ++i)
      if (recorded[i]) result.push_back(std::move(made[i]));
  } catch (const std::exception& e) {
    log_error(sink, std::string("An error occurred while generating Schemix schema: ") + e.what());
  }
  if (sink.debug && !result.empty())
    core::log_processing(sink, "debug", "schemix",
                         "Schemix schema generation for " + std::to_string(data.size()) +
                             " request(s) is complete: " + std::to_string(result.size()) + " schema(s) generated");
  return result;
}

}  // namespace tessel::schemix
