#include "system/LocalAddresses.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

namespace quorvi {
namespace {

using Strings = std::vector<std::string>;

constexpr unsigned int kUp = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
constexpr unsigned int kDown = IFF_BROADCAST | IFF_MULTICAST;
constexpr unsigned int kLoopback = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;

InterfaceAddress ipv4(const std::string& name, unsigned int flags, const std::string& host) {
    return {name, flags, AF_INET, host};
}

InterfaceAddress ipv6(const std::string& name, unsigned int flags, const std::string& host) {
    return {name, flags, AF_INET6, host};
}

// The link-layer entry getifaddrs gives for every interface: an AF_PACKET
// address that getnameinfo cannot turn into a host.
InterfaceAddress link(const std::string& name, unsigned int flags) {
    return {name, flags, AF_PACKET, std::nullopt};
}

TEST(LocalAddresses, AnUpInterfaceWithAnIPv4AddressIsListed) {
    EXPECT_EQ(selectIPv4Addresses({link("eth0", kUp), ipv4("eth0", kUp, "192.0.2.7")}),
              Strings{"192.0.2.7"});
}

TEST(LocalAddresses, OnlyLoopbackGivesAnEmptyList) {
    EXPECT_EQ(selectIPv4Addresses({link("lo", kLoopback), ipv4("lo", kLoopback, "127.0.0.1"),
                                   ipv6("lo", kLoopback, "::1")}),
              Strings{});
    EXPECT_EQ(selectIPv4Addresses({}), Strings{});
}

TEST(LocalAddresses, ADownInterfaceIsNotListedEvenWithAnIPv4Address) {
    EXPECT_EQ(selectIPv4Addresses({ipv4("eth1", kDown, "192.0.2.8")}), Strings{});
}

TEST(LocalAddresses, AnIPv6OnlyInterfaceIsNotListed) {
    EXPECT_EQ(selectIPv4Addresses({link("wlan0", kUp), ipv6("wlan0", kUp, "2001:db8::7"),
                                   ipv6("wlan0", kUp, "fe80::1")}),
              Strings{});
}

TEST(LocalAddresses, LoopbackIsLeftOutEvenWhenItIsNotCalledLo) {
    // The flag decides, not the name.
    EXPECT_EQ(selectIPv4Addresses({ipv4("eth9", IFF_UP | IFF_LOOPBACK, "10.9.9.9")}), Strings{});
    // Up without the loopback flag is enough, running or not.
    EXPECT_EQ(selectIPv4Addresses({ipv4("lo", IFF_UP, "10.9.9.9")}), Strings{"10.9.9.9"});
}

TEST(LocalAddresses, EntriesWithoutAnAddressOrWithoutTextAreSkipped) {
    const InterfaceAddress noAddress{"tun0", kUp, std::nullopt, std::nullopt};
    const InterfaceAddress notConverted{"eth0", kUp, AF_INET, std::nullopt};
    EXPECT_EQ(selectIPv4Addresses({noAddress, notConverted, ipv4("eth0", kUp, "192.0.2.9")}),
              Strings{"192.0.2.9"});
}

TEST(LocalAddresses, SystemOrderIsKeptWithoutSortingOrMerging) {
    const std::vector<InterfaceAddress> entries = {
        ipv4("wlan0", kUp, "198.51.100.20"), ipv4("eth0", kUp, "192.0.2.7"),
        ipv4("eth0", kUp, "192.0.2.3"),      ipv6("eth0", kUp, "2001:db8::1"),
        ipv4("eth1", kDown, "203.0.113.1"),  ipv4("br0", kUp, "192.0.2.7"),
    };
    EXPECT_EQ(selectIPv4Addresses(entries),
              (Strings{"198.51.100.20", "192.0.2.7", "192.0.2.3", "192.0.2.7"}));
}

TEST(LocalAddresses, TheRealListCanBeReadAndHoldsNoLoopbackAddress) {
    // Whatever this machine has, 127.0.0.1 belongs to loopback only.
    for (const std::string& address : ipv4Addresses()) {
        EXPECT_NE(address.rfind("127.", 0), 0u) << address;
    }
    EXPECT_FALSE(readInterfaceAddresses().empty());
}

} // namespace
} // namespace quorvi
