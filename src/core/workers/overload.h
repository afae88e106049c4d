#pragma once
// The overload look-up of the intake and classification workers.
#include "shared/runtime/nsg.h"

namespace tessel::core {

// Whether the host is marked as overloaded (nsg.overload), read afresh.
inline bool is_hw_overload(Nsg& nsg) { return nsg.overload(); }

}  // namespace tessel::core
