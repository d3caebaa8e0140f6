#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// One entry of the system's interface address list, reduced to what the
// address filter looks at. An interface appears once per address it has,
// and once more without an address for its link-layer entry.
struct InterfaceAddress {
    std::string interfaceName;
    // The interface flags (IFF_UP, IFF_LOOPBACK, ...) as the system gives them.
    unsigned int flags = 0;
    // The address family (AF_INET, AF_INET6, ...); absent when the entry has
    // no address.
    std::optional<int> family;
    // The address as numeric host text; absent when it could not be
    // converted.
    std::optional<std::string> numericHost;

    bool operator==(const InterfaceAddress&) const = default;
};

// The addresses a phone on the same network could use to reach this
// machine: entries of interfaces that are up and not loopback, with an IPv4
// address that converted to text. The system's order is kept and nothing is
// sorted or merged, so an interface with several IPv4 addresses lists each.
//
// Thread: any (pure).
std::vector<std::string> selectIPv4Addresses(const std::vector<InterfaceAddress>& entries);

// The system's interface address list (getifaddrs), in its order, each
// address converted with getnameinfo(NI_NUMERICHOST). Empty when the list
// cannot be read.
//
// Thread: any.
std::vector<InterfaceAddress> readInterfaceAddresses();

// The machine's local IPv4 addresses, as dotted decimal text:
// selectIPv4Addresses over readInterfaceAddresses.
//
// Thread: any; it takes a few system calls, cheap enough for a 2-second timer.
std::vector<std::string> ipv4Addresses();

} // namespace quorvi
