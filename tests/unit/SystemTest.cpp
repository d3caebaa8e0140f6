// What the machine says about itself: its addresses, its grants, its name,
// and how the server keeps them up to date.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"
#include "platform/ComputerName.h"
#include "system/LocalAddresses.h"

#include <array>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <tuple>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

TEST(LocalAddresses, UpNonLoopbackIPv4EntriesInSystemOrder) {
    constexpr unsigned int up = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
    constexpr unsigned int down = IFF_BROADCAST | IFF_MULTICAST;
    const auto ip = [](const char* name, unsigned int flags, std::string host) {
        const int family = host.find(':') == std::string::npos ? AF_INET : AF_INET6;
        return InterfaceAddress{name, flags, family, host};
    };
    using Strings = std::vector<std::string>;
    const std::tuple<const char*, std::vector<InterfaceAddress>, Strings> rows[] = {
        {"down interface", {ip("eth1", down, "192.0.2.8")}, {}},
        {"IPv6 only", {ip("wlan0", up, "2001:db8::7"), ip("wlan0", up, "fe80::1")}, {}},
        // The flags decide, not the name; running or not does not matter.
        {"loopback flag", {ip("eth9", IFF_UP | IFF_LOOPBACK, "10.9.9.9")}, {}},
        {"named lo", {ip("lo", IFF_UP, "10.9.9.9")}, {"10.9.9.9"}},
        {"no address or no text",
         {{"eth0", up, AF_PACKET, std::nullopt}, // the link-layer entry
          {"tun0", up, std::nullopt, std::nullopt},
          {"eth0", up, AF_INET, std::nullopt},
          ip("eth0", up, "192.0.2.9")},
         {"192.0.2.9"}},
        {"neither sorted nor merged",
         {ip("wlan0", up, "198.51.100.20"), ip("eth0", up, "192.0.2.7"),
          ip("eth0", up, "192.0.2.3"), ip("eth0", up, "2001:db8::1"),
          ip("eth1", down, "203.0.113.1"), ip("br0", up, "192.0.2.7")},
         {"198.51.100.20", "192.0.2.7", "192.0.2.3", "192.0.2.7"}},
    };
    for (const auto& [name, entries, addresses] : rows) {
        EXPECT_EQ(selectIPv4Addresses(entries), addresses) << name;
    }
}

TEST(ServiceName, PrettyNameWinsThenHostNameThenTheProductName) {
    const std::string cut = std::string(62, 'a') + "é" + "bbb"; // "é" would straddle byte 63
    const std::array<std::string, 3> rows[] = {
        {"PRETTY_HOSTNAME=\"Bureau de Léa\"\nCHASSIS=laptop\n", "lea-pc", "Bureau de Léa"},
        {"PRETTY_HOSTNAME='Atelier'\n", "host", "Atelier"},
        {"PRETTY_HOSTNAME=Salon\n", "host", "Salon"},
        {"CHASSIS=desktop\n", "lea-pc", "lea-pc"},
        {"PRETTY_HOSTNAME=\"\"\n", "lea-pc", "lea-pc"},
        {"", "", "Quorvi Mac"},
        {"PRETTY_HOSTNAME=\"  \"\n", " ", "Quorvi Mac"},
        {"PRETTY_HOSTNAME=" + cut + "\n", "host", std::string(62, 'a')},
    };
    for (const auto& [machineInfo, host, expected] : rows) {
        EXPECT_EQ(chooseServiceName(machineInfo, host), expected) << machineInfo;
    }
}

// The accessibility notification refreshes everything half a second later;
// the timer keeps the summary and the addresses fresh, even after a stop.
TEST(PermissionMonitoring, TheNotificationAndTheTimerRefreshTheGrants) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.grants->setScreenRecording(false);
    harness.server->refreshPermissions();
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.journalHas("Capture visibilité: Screen Recording manquant"); }));
    harness.grants->setScreenRecording(true);
    harness.windowList->setWindows({{1, "Firefox", 4242, false}});
    const auto asked = std::chrono::steady_clock::now();
    harness.notifications->postNotification("com.apple.accessibility.api");
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.journalHas("Capture visibilité: Firefox"); }));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 450ms);

    ASSERT_TRUE(harness.startAndSettle());
    harness.server->stop();
    harness.grants->setScreenRecording(false);
    harness.grants->setAccessibility(false);
    *harness.addresses = {};
    const std::string missing = "Screen manquant · Accessibility manquant";
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.state().permissionSummary() == missing; }, 3s));
    EXPECT_TRUE(harness.state().localAddresses().empty());
}
