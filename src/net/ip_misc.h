#pragma once
// IPv4 addresses and host names. Addresses are 32-bit numbers in network byte order: the
// first octet of the dotted text is the first byte of the number in memory.

#include <cstdint>
#include <string>

namespace zanpost {

// "No address": what resolve_host gives on failure. 255.255.255.255 can therefore never
// be used as an address.
inline constexpr std::uint32_t ip_none = 0xFFFFFFFFu;

// A dotted IPv4 text, or else a host name looked up with the resolver; ip_none when the
// text is empty, unknown, or the lookup fails in any way.
std::uint32_t resolve_host(const std::string& host);

// "192.168.1.10".
std::string ip_to_text(std::uint32_t address);

// The official name of the local host, or "127.0.0.1" when it has none or it cannot be
// looked up. Sent after "HELO ".
std::string local_host_name();

// The first address of the local host, or 127.0.0.1 when it has no name or it cannot be
// looked up.
std::uint32_t local_ip_address();

}  // namespace zanpost
