#pragma once
// Values the traffic detectors judge addresses by: the private-address test,
// the countries suspicious for DDoS and the descriptions of the reports.
#include <string>
#include <string_view>
#include <vector>

namespace tessel::core {

// True for addresses of private, loopback, link-local and shared ranges
// (IPv4 10/8, 172.16/12, 192.168/16, 127/8, 169.254/16, 100.64/10; IPv6 ::1,
// fc00::/7, fe80::/10, and IPv4-mapped forms of the IPv4 ranges). Throws
// std::invalid_argument when the text is not an IPv4 or IPv6 address.
bool is_private_ip(std::string_view addr);

// Country codes suspicious for DDoS unless usual for the host.
const std::vector<std::string>& ddos_bl_cc();

// The description of DDoS and of web-scraping report rows.
inline constexpr const char* ddos_desc = "DDoS attack";
inline constexpr const char* scraping_desc = "Web scraping";

}  // namespace tessel::core
