#pragma once
// The management-API simulator (tools/mgmt-sim) run as a child process for
// the length of a test, with an answer directory and a request record of its
// own.
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "support/temp_dir.h"

namespace tessel::testing {

class MgmtSim {
 public:
  // Starts the simulator on a free loopback port, with further command-line
  // arguments (--datasets FILE, --training FILE).
  explicit MgmtSim(const std::vector<std::string>& extra_args = {});
  ~MgmtSim();  // stops it
  MgmtSim(const MgmtSim&) = delete;
  MgmtSim& operator=(const MgmtSim&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/vx-api/": the management API's base URL.
  std::string api_base() const;
  // The full URL of a management-API endpoint ("/v2/get_tessel_settings").
  std::string api_url(const std::string& endpoint) const;
  // The dataset service's base URL "http://127.0.0.1:<port>/vx".
  std::string dataset_base() const;

  // Replaces the answer for "api/<endpoint>" or "dataset/<endpoint>" (an
  // answer document: {"status_code": ..., "body": ...} or "body_text").
  void set_answer(const std::string& name, const Json& doc);
  void set_api_answer(const std::string& endpoint, const Json& doc) { set_answer("api" + endpoint, doc); }

  // Requests received so far, one object per request (method, path, query,
  // headers, body).
  std::vector<Json> requests() const;
  std::vector<Json> requests_to(const std::string& path) const;

  // The body of a GET of `path` ("/vx-api/sim/state": the kept training
  // state); throws when the simulator does not answer 200.
  std::string get(const std::string& path) const;

 private:
  TempDir dir_;
  int pid_ = -1;
  int port_ = 0;
};

}  // namespace tessel::testing
