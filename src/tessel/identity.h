#pragma once
// Where the service's instance identifier and host address come from.
#include <string>

namespace tessel::svc {

// The instance identifier kept in the file `path`: its first line when that
// is a usable id (1 to 64 printable ASCII characters, no blanks), otherwise
// a new random id (32 hex digits) written there atomically. Throws std::runtime_error when
// the file can be neither read nor written.
std::string instance_id(const std::string& path);

// The address of the interface the host would use to reach other networks
// (IPv4, else IPv6), or "127.0.0.1" when it has no route out.
std::string primary_address();

}  // namespace tessel::svc
