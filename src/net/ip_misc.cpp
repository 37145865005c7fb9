#include "net/ip_misc.h"

#include "platform/sockets.h"

#include <cstring>

namespace zanpost {

namespace {

std::uint32_t address_of(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    const unsigned char octets[4] = {a, b, c, d};
    std::uint32_t address = 0;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

}  // namespace

std::uint32_t resolve_host(const std::string& host)
{
    if (host.empty()) return ip_none;
    try {
        if (const std::uint32_t dotted = platform::parse_ipv4(host); dotted != ip_none) return dotted;
        const auto entry = platform::lookup_host(host);
        if (!entry || entry->addresses.empty()) return ip_none;
        return entry->addresses.front();
    } catch (...) {
        return ip_none;
    }
}

std::string ip_to_text(std::uint32_t address)
{
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    return std::to_string(octets[0]) + '.' + std::to_string(octets[1]) + '.' + std::to_string(octets[2]) + '.' +
           std::to_string(octets[3]);
}

std::string local_host_name()
{
    const std::string name = platform::host_name();
    if (name.empty()) return "127.0.0.1";
    const auto entry = platform::lookup_host(name);
    if (!entry) return "127.0.0.1";
    return entry->official_name;
}

std::uint32_t local_ip_address()
{
    const std::string name = platform::host_name();
    if (!name.empty()) {
        if (const auto entry = platform::lookup_host(name); entry && !entry->addresses.empty())
            return entry->addresses.front();
    }
    return address_of(127, 0, 0, 1);
}

}  // namespace zanpost
