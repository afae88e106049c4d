#pragma once
// Directories and files of one service instance.
#include <string>
#include <vector>

#include "shared/runtime/paths.h"

namespace tessel::svc {

// `log_root` and `models_root` are "/var/log/vexa/" and "/opt/tessel/ml/"
// unless overridden (see RunOptions).
Paths derive_paths(const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                   const std::string& log_root, const std::string& models_root);

}  // namespace tessel::svc
