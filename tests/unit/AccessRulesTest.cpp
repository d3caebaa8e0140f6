// Which peers may connect, and the answers a new device waits for.
#include "server/AccessRules.h"

#include <gtest/gtest.h>

using namespace quorvi;
using Verdict = DeviceApproval::Verdict;

namespace {

struct Match {
    const char* setting;
    const char* peer;
    bool isAllowed;
    bool isMalformed = false;
};

const Match kMatches[] = {
    {"", "203.0.113.9", true},
    {"  ", "2001:db8::1", true},
    {"lan", "127.0.0.1", true},
    {"lan", "10.1.2.3", true},
    {"lan", "172.31.255.255", true},
    {"lan", "172.32.0.1", false},
    {"lan", "192.168.1.20", true},
    {"lan", "169.254.3.4", true},
    {"lan", "::1", true},
    {"lan", "fe80::1%eth0", true},
    {"lan", "fd12:3456::5", true},
    {"lan", "2001:db8::1", false},
    {"lan", "8.8.8.8", false},
    {"lan", "::ffff:192.168.1.2", true},
    {"lan", "::ffff:8.8.8.8", false},
    {"lan", "", false},
    {"LAN, 203.0.113.5", "203.0.113.5", true},
    {"203.0.113.0/24", "203.0.113.77", true},
    {"203.0.113.0/24", "203.0.114.1", false},
    {"10.0.0.0/9", "10.127.255.255", true},
    {"10.0.0.0/9", "10.128.0.0", false},
    {"0.0.0.0/0", "8.8.8.8", true},
    {"0.0.0.0/0", "2001:db8::1", false},
    {"::/0", "2001:db8::1", true},
    {"::/0", "8.8.8.8", true},
    {"198.51.100.7/32", "198.51.100.7", true},
    {"198.51.100.7/32", "198.51.100.8", false},
    {"198.51.100.7", "::ffff:198.51.100.7", true},
    {"2001:db8::5/128", "2001:db8::5", true},
    {"2001:db8::5/128", "2001:db8::6", false},
    {" 192.0.2.1 , 2001:db8::/32,", "2001:db8:ffff::9", true},
    {"192.0.2.1,2001:db8::/32", "192.0.2.2", false},
    // Malformed settings fall back to the local network, never to everyone.
    {"192.0.2.1/33", "192.0.2.1", false, true},
    {"192.0.2.1/33", "192.168.0.1", true, true},
    {"everyone", "8.8.8.8", false, true},
    {"10.0.0.0/", "10.0.0.1", true, true},
    {"::/129", "2001:db8::1", false, true},
    {"300.1.1.1", "10.0.0.1", true, true},
    {"10.0.0.0/-1", "8.8.8.8", false, true},
    {"10.0.0.0/8x", "8.8.8.8", false, true},
    {",", "8.8.8.8", false, true},
};

} // namespace

TEST(AllowedNetworks, MatchPeersAgainstTheSetting) {
    for (const auto& match : kMatches) {
        SCOPED_TRACE(std::string(match.setting) + " ∋ " + match.peer);
        const auto networks = AllowedNetworks::parse(match.setting);
        EXPECT_EQ(networks.allows(match.peer), match.isAllowed);
        EXPECT_EQ(networks.problem().has_value(), match.isMalformed);
    }
    EXPECT_EQ(*AllowedNetworks::parse("lan,x").problem(),
              "Réseaux autorisés illisibles (« x »): seul le réseau local peut se connecter");
}

TEST(AllowedNetworks, AddressesAreShownAndStoredInOneForm) {
    const std::pair<const char*, const char*> forms[] = {
        {"::ffff:10.0.0.3", "10.0.0.3"},
        {"fe80::1%eth0", "fe80::1"},
        {"2001:DB8:0::1", "2001:db8::1"},
        {"192.168.1.20", "192.168.1.20"},
        {"nope", ""},
    };
    for (const auto& [given, shown] : forms) {
        EXPECT_EQ(canonicalAddress(given), shown) << given;
    }
    const auto trusted = parseTrustedAddresses("192.168.1.20, ::ffff:10.0.0.3,junk,192.168.1.20");
    EXPECT_EQ(trusted, (std::vector<std::string>{"192.168.1.20", "10.0.0.3"}));
    EXPECT_EQ(formatTrustedAddresses(trusted), "192.168.1.20,10.0.0.3");
}

TEST(DeviceApproval, OnePendingDeviceAnsweredOnceAlwaysRefusedOrTimedOut) {
    DeviceApproval approval;
    EXPECT_EQ(approval.arrive("192.0.2.1", 0), Verdict::admit);
    approval.setRequired(true);
    approval.setTrusted({"192.0.2.9"});
    EXPECT_EQ(approval.arrive("192.0.2.9", 0), Verdict::admit);

    // The newer device replaces the older pending one.
    EXPECT_EQ(approval.arrive("192.0.2.1", 0), Verdict::hold);
    EXPECT_EQ(approval.arrive("192.0.2.2", 1), Verdict::hold);
    EXPECT_EQ(approval.pending(), "192.0.2.2");
    EXPECT_EQ(approval.deny(10), "192.0.2.2");
    EXPECT_FALSE(approval.pending());
    EXPECT_FALSE(approval.deny(10));
    EXPECT_EQ(approval.arrive("192.0.2.2", 39.9), Verdict::refuse);
    EXPECT_EQ(approval.arrive("192.0.2.1", 39.9), Verdict::hold);
    EXPECT_EQ(approval.arrive("192.0.2.2", 40), Verdict::hold);

    // No answer within 30 s is a refusal, remembered like one.
    EXPECT_FALSE(approval.expire(69.9));
    EXPECT_EQ(approval.expire(70), "192.0.2.2");
    EXPECT_EQ(approval.arrive("192.0.2.2", 71), Verdict::refuse);

    // Allowed once, asked again next time; always, trusted until forgotten.
    EXPECT_EQ(approval.arrive("192.0.2.3", 71), Verdict::hold);
    EXPECT_EQ(approval.allowOnce(), "192.0.2.3");
    EXPECT_EQ(approval.arrive("192.0.2.3", 72), Verdict::hold);
    EXPECT_EQ(approval.allowAlways(), "192.0.2.3");
    EXPECT_EQ(approval.trusted(), (std::vector<std::string>{"192.0.2.9", "192.0.2.3"}));
    EXPECT_EQ(approval.arrive("192.0.2.3", 73), Verdict::admit);
    EXPECT_TRUE(approval.forget("192.0.2.3"));
    EXPECT_FALSE(approval.forget("192.0.2.3"));
    EXPECT_EQ(approval.arrive("192.0.2.3", 74), Verdict::hold);
}
