#include "system/LocalAddresses.h"

#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quorvi {

namespace {

// Linux's sockaddr has no length field, so the length getnameinfo needs
// comes from the family; only the IP families are ever converted.
std::optional<std::string> numericHost(const sockaddr* address) {
    socklen_t length = 0;
    if (address->sa_family == AF_INET) {
        length = sizeof(sockaddr_in);
    } else if (address->sa_family == AF_INET6) {
        length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;
    }
    char host[NI_MAXHOST] = {};
    if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return std::nullopt;
    }
    // NI_NUMERICHOST yields digits, dots and colons only: plain ASCII, so
    // the text is valid UTF-8 as it is.
    return std::string(host);
}

} // namespace

std::vector<std::string> selectIPv4Addresses(const std::vector<InterfaceAddress>& entries) {
    std::vector<std::string> addresses;
    for (const InterfaceAddress& entry : entries) {
        // Up and not loopback: a phone cannot reach a down interface, nor
        // this machine's loopback.
        if ((entry.flags & (IFF_UP | IFF_LOOPBACK)) != IFF_UP) {
            continue;
        }
        if (entry.family != AF_INET || !entry.numericHost) {
            continue;
        }
        addresses.push_back(*entry.numericHost);
    }
    return addresses;
}

std::vector<InterfaceAddress> readInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    // Freed on every way out, a failed allocation below included.
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
    std::vector<InterfaceAddress> entries;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress described;
        if (entry->ifa_name != nullptr) {
            described.interfaceName = entry->ifa_name;
        }
        described.flags = entry->ifa_flags;
        if (entry->ifa_addr != nullptr) {
            described.family = entry->ifa_addr->sa_family;
            described.numericHost = numericHost(entry->ifa_addr);
        }
        entries.push_back(std::move(described));
    }
    return entries;
}

std::vector<std::string> ipv4Addresses() {
    return selectIPv4Addresses(readInterfaceAddresses());
}

} // namespace quorvi
