#pragma once
// The broker connection list from the text of [run] rmq_host.
#include <string_view>

#include "shared/runtime/rmq_params.h"

namespace tessel::svc {

// Items are separated by white space; an item is "[ssl://]credentials@host[/vhost]".
// Duplicates are dropped (first occurrence kept). No items: an empty list.
// An item without "@", or with a port that is not a number from 1 to 65535,
// throws std::invalid_argument naming the item's position.
RmqParamList build_rmq_rc_param_list(std::string_view rmq_host);

}  // namespace tessel::svc
