#pragma once
// The classification worker: one table of new requests divided among the
// protected hosts, each host's rows classified with its models.
#include <memory>
#include <string>
#include <vector>

#include "orvik/classify/processing.h"
#include "shared/pyvalues/json.h"

namespace tessel::orvik {

// The protected hosts as the service received them, and what the worker
// needs of each.
struct MlHosts {
  // Host entry as listed to the path of its staging file (hosts that
  // collect traffic only).
  Json db_fnames_dict = Json::object();
  bool ai_extra = false;
  // Exact names, ".d" (d and its sub-domains), "*.d" (sub-domains only),
  // "*" (every host no other entry takes).
  std::vector<std::string> mlvh_list;
};

// Divides `dfs` among the entries of hosts.mlvh_list in list order (a row
// goes to the first entry that takes it; rows of www.D go to an entry D
// unless www.D is listed, with vhost rewritten to D; "*" takes every row
// left, wherever it is listed) and classifies each entry's rows. Rows no
// entry takes are dropped. Never throws.
void ml_preprocessing(const std::shared_ptr<Nsg>& nsg, RequestTable dfs, const LockMap& db_processing_lock,
                      const MlHosts& hosts, const ClassifyContext& cc);

}  // namespace tessel::orvik
