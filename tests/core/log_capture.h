#pragma once
// The logging pair for tests of the support layer: events land on q_ec and
// can be read back.
#include <string>
#include <vector>

#include "shared/json.h"
#include "shared/logging.h"
#include "shared/queues.h"

namespace tessel::testing {

struct LogCapture {
  EventQueue q_ec;
  Logger log{"core-test"};

  // Events put since the last call, as "level/category: message".
  std::vector<std::string> take() {
    std::vector<std::string> out;
    while (auto ev = q_ec.try_get())
      out.push_back((*ev)["level"].get<std::string>() + "/" + (*ev)["category"].get<std::string>() + ": " +
                    (*ev)["message"].get<std::string>());
    return out;
  }
};

}  // namespace tessel::testing
