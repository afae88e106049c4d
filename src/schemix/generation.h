#pragma once
// Schema inference of the schema worker: one schema fragment per schema
// name, path and method from the merged bodies of the representative
// requests.
#include <cstddef>
#include <string>
#include <vector>

#include "schemix/grouping.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::schemix {

// {name: {path: {method: {"requestBody": {"content": {"*/*": {"schema": schema}}}}}}}
Json make_fragment(const std::string& schema_name, const std::string& path, const std::string& method, Json schema);

// Records each of `fragments`, in order, in nsi's "schemix_schemas_list"
// unless an equal one is there; one step under the namespace's lock. Returns
// for each whether it was recorded.
std::vector<bool> record_fragments(SharedNamespace& nsi, const std::vector<Json>& fragments);
// The same with the fragments' canonical texts already made.
std::vector<bool> record_fragments(SharedNamespace& nsi, const std::vector<Json>& fragments,
                                   const std::vector<std::string>& texts);
bool record_fragment(SharedNamespace& nsi, const Json& fragment);
// Removes the fragments equal to `fragment` from "schemix_schemas_list".
void forget_fragment(SharedNamespace& nsi, const Json& fragment);

// The new fragments of `data` (the representative requests, by index into
// `records`), each recorded in nsi. A group that fails is logged and yields
// nothing; the other groups go on.
std::vector<Json> schemix_schemas_generation(SharedNamespace& nsi, const std::vector<SchemaRecord>& records,
                                             const std::vector<std::size_t>& data, const LogSink& sink);

}  // namespace tessel::schemix
