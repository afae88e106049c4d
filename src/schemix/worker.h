#pragma once
// The schema worker: one run over the requests gathered in an interval.
#include <memory>
#include <string>

#include "core/net/api_context.h"
#include "schemix/grouping.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/request.h"
#include "shared/runtime/shared_namespace.h"

namespace tessel::schemix {

// Drops the requests named by nsi's "schemix_exclude_paths" and "schemix_url"
// entries (schema name followed by a path), then groups the rest, infers
// their schemas and uploads the new ones to `set_schemix_schema_path_url`.
// A fragment whose upload failed is forgotten again, so that a later run
// offers it anew. Never throws.
void schemix_schemas_processing(const std::shared_ptr<SharedNamespace>& nsi, std::vector<SchemaRecord> dfs,
                                const std::string& set_schemix_schema_path_url, const core::ApiContext& api,
                                const LogSink& sink);
// The same on whole request rows (their "schema_name" column).
void schemix_schemas_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable dfs,
                                const std::string& set_schemix_schema_path_url, const core::ApiContext& api,
                                const LogSink& sink);

}  // namespace tessel::schemix
