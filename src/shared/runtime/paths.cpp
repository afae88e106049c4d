#include "shared/runtime/paths.h"

namespace tessel {

std::string path_join(const std::string& a, const std::string& b) {
  if (!b.empty() && b.front() == '/') return b;
  if (a.empty() || a.back() == '/') return a + b;
  return a + "/" + b;
}

}  // namespace tessel
