#include "schemix/worker.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "core/base/log.h"
#include "core/data/hosts.h"
#include "schemix/generation.h"
#include "schemix/grouping.h"
#include "schemix/upload.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::schemix {

namespace {

void log_error(const LogSink& sink, const std::string& text) { core::log_processing(sink, "error", "schemix", text); }

// The distinct true entries of both lists, exclude list first.
std::vector<Json> exclusion_entries(const Json& exclude_paths, const Json& url) {
  std::vector<Json> out;
  std::vector<std::string> seen;
  for (const Json* list : {&exclude_paths, &url}) {
    if (!list->is_array()) continue;
    for (const auto& e : *list) {
      if (!py_truthy(e)) continue;
      std::string text = json_dumps(e, true);
      if (std::find(seen.begin(), seen.end(), text) != seen.end()) continue;
      seen.push_back(std::move(text));
      out.push_back(e);
    }
  }
  return out;
}

// Whether a row carries schema name `name` in its "schema_name" column.
bool named(const RequestRecord& r, const std::string& name) {
  const auto it = r.extras.find("schema_name");
  return it != r.extras.end() && it->is_string() && it->get_ref<const std::string&>() == name;
}
bool named(const SchemaRecord& r, const std::string& name) { return r.schema_name == name; }

// Drops the rows named by the "schemix_exclude_paths" and "schemix_url"
// entries of nsi; an entry that cannot be applied is logged.
template <class Row>
void apply_exclusions(const SharedNamespace& nsi, std::vector<Row>& dfs, const LogSink& sink) {
  const Json exclude_paths = nsi.get<Json>("schemix_exclude_paths");
  const Json url_list = nsi.get<Json>("schemix_url");
  for (const auto& entry : exclusion_entries(exclude_paths, url_list)) {
    try {
      if (!entry.is_string())
        throw PyValueError(std::string("an exclusion entry must be str, not ") + py_type_name(entry));
      const std::string& text = entry.get_ref<const std::string&>();
      const auto slash = text.find('/');
      if (slash == std::string::npos) throw PyValueError("not enough values to unpack (expected 2, got 1)");
      const std::string name = core::idna_vhost_list_normalization(text.substr(0, slash), sink);
      const std::string path = text.substr(slash);
      std::erase_if(dfs, [&](const Row& r) { return named(r, name) && r.url == path; });
    } catch (const std::exception& e) {
      log_error(sink, "An error occurred while processing Schemix exclude paths (" + py_str(entry) + "): " + e.what());
    }
  }
}

// Groups the records, infers their schemas and uploads the new ones.
void process_records(const std::shared_ptr<SharedNamespace>& nsi, std::vector<SchemaRecord>& records,
                     const std::string& set_schemix_schema_path_url, const core::ApiContext& api, const LogSink& sink) {
  if (records.empty()) return;
  if (sink.debug)
    core::log_processing(sink, "debug", "schemix",
                         "Processing " + std::to_string(records.size()) + " request(s) by Schemix Schema Analyzer");
  std::vector<Json> fragments;
  try {
    const std::vector<std::size_t> chosen = schemix_requests_processing(records, sink);
    if (chosen.empty()) return;
    fragments = schemix_schemas_generation(*nsi, records, chosen, sink);
    if (fragments.empty()) return;
  } catch (const std::exception& e) {
    log_error(sink, std::string("An error occurred while processing request data and generating Schemix schema: (") +
                        e.what() + ")");
    return;
  }
  for (const auto& f : schemix_schemas_api_set(set_schemix_schema_path_url, fragments, api, sink))
    forget_fragment(*nsi, f);
}

void log_failure(const LogSink& sink, const std::exception& e) {
  log_error(sink, std::string("An error occurred while processing data in schemix_schemas_processing: ") + e.what());
}

}  // namespace

void schemix_schemas_processing(const std::shared_ptr<SharedNamespace>& nsi, std::vector<SchemaRecord> dfs,
                                const std::string& set_schemix_schema_path_url, const core::ApiContext& api,
                                const LogSink& sink) {
  try {
    apply_exclusions(*nsi, dfs, sink);
    process_records(nsi, dfs, set_schemix_schema_path_url, api, sink);
  } catch (const std::exception& e) {
    log_failure(sink, e);
  }
}

void schemix_schemas_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable dfs,
                                const std::string& set_schemix_schema_path_url, const core::ApiContext& api,
                                const LogSink& sink) {
  try {
    apply_exclusions(*nsi, dfs, sink);
    std::vector<SchemaRecord> records;
    records.reserve(dfs.size());
    for (auto& r : dfs) records.push_back(schema_record(std::move(r)));
    RequestTable().swap(dfs);
    process_records(nsi, records, set_schemix_schema_path_url, api, sink);
  } catch (const std::exception& e) {
    log_failure(sink, e);
  }
}

}  // namespace tessel::schemix
