#pragma once
// The schema-generation host: keeps the requests of the configured host
// patterns, labels each with its pattern (column "schema_name") and, once
// per gathering interval, hands everything gathered to a schema worker. Of
// each request it keeps only the columns schema generation reads.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/workers/run_context.h"
#include "schemix/grouping.h"
#include "shared/runtime/child.h"
#include "shared/runtime/detector.h"

namespace tessel::schemix {

// Whether host pattern `pattern` covers the request host `vhost`: the host
// itself; ".H" also every host that contains ".H"; "*.H" every host that
// contains ".H"; "*" every host. Throws for a pattern or host that is not
// text where a substring test is needed.
bool vhost_pattern_match(const Json& pattern, const Json& vhost);

// What tests replace in the host: the clock (UNIX seconds), the worker run
// on each gathered table, the start of its thread (Child::start), and the
// seed of the reshuffle (0: a random one).
struct OamHooks {
  std::function<std::int64_t()> clock;
  std::function<void(const std::shared_ptr<SharedNamespace>& nsi, std::vector<SchemaRecord> dfs)> worker;
  std::function<ChildPtr(std::string name, std::function<void()> body)> start;
  std::uint64_t seed = 0;
};

class OAM : public WindowDetector {
 public:
  using Hooks = OamHooks;
  using Worker = decltype(OamHooks::worker);

  // oa_loop_int: seconds between two schema-generation runs.
  OAM(int oa_loop_int, core::DetectorContext ctx, Hooks hooks = {});

  // Labels and keeps the rows of `ndfs` whose host a pattern of
  // nsi's "schemix_vhosts_list" covers, runs the housekeeping of finished
  // and slow workers at most every 30 seconds, and starts a worker on the
  // gathered rows once more than the interval has passed. Never throws.
  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

  // Rows gathered for the next worker, and the workers not yet reaped.
  const std::vector<SchemaRecord>& gathered() const { return dfs_; }
  std::size_t workers() const { return processes_.size(); }

 private:
  std::int64_t now() const;
  void housekeeping();
  void label(const Json& patterns, RequestTable& ndfs);

  std::vector<std::pair<std::int64_t, ChildPtr>> processes_;  // start time, worker
  std::int64_t lttl_;
  std::int64_t stime_;
  int loop_int_;
  core::DetectorContext ctx_;
  Hooks hooks_;
  std::mt19937_64 rng_;
  std::vector<SchemaRecord> dfs_;
};

}  // namespace tessel::schemix
