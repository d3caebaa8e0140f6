// The real interface reading under the local address list, in a network
// namespace the test makes and throws away: its interfaces are whatever the
// test puts there, so the answers are exact, and nothing it configures
// touches the machine's own networks.

#include "linux/TestCommands.h"
#include "system/LocalAddresses.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace quorvi {
namespace {

using Strings = std::vector<std::string>;

const std::string kNamespace = "quorvi-addr-test";

using testing::CommandResult;

// Bounded by timeout(1), so that a stuck ip(8) fails the case instead of
// hanging it.
CommandResult run(const std::string& command) {
    return testing::runCommand("timeout 20 " + command);
}

// One command inside the namespace.
CommandResult inNamespace(const std::string& command) {
    return run("ip netns exec " + kNamespace + " " + command);
}

// What the system shows inside the namespace.
struct Reading {
    std::vector<InterfaceAddress> entries;
    Strings addresses;
    std::string error;
};

// Network namespaces belong to threads: a thread that enters one reads the
// namespace's interfaces, and the rest of the test process stays where it
// was. The thread ends right after, and the namespace's reference with it.
Reading readInNamespace() {
    Reading reading;
    std::thread reader([&] {
        const std::string path = "/run/netns/" + kNamespace;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            reading.error = "open " + path + ": " + std::strerror(errno);
            return;
        }
        const int entered = setns(fd, CLONE_NEWNET);
        const int enterError = errno;
        close(fd);
        if (entered != 0) {
            reading.error = std::string("setns: ") + std::strerror(enterError);
            return;
        }
        reading.entries = readInterfaceAddresses();
        reading.addresses = ipv4Addresses();
    });
    reader.join();
    return reading;
}

Strings interfaceNames(const std::vector<InterfaceAddress>& entries) {
    Strings names;
    for (const InterfaceAddress& entry : entries) {
        if (std::find(names.begin(), names.end(), entry.interfaceName) == names.end()) {
            names.push_back(entry.interfaceName);
        }
    }
    return names;
}

bool hasEntry(const std::vector<InterfaceAddress>& entries, const std::string& name, int family,
              const std::string& host) {
    return std::any_of(entries.begin(), entries.end(), [&](const InterfaceAddress& entry) {
        return entry.interfaceName == name && entry.family == family && entry.numericHost == host;
    });
}

std::string describe(const Reading& reading) {
    std::ostringstream text;
    if (!reading.error.empty()) {
        text << reading.error << "\n";
    }
    for (const InterfaceAddress& entry : reading.entries) {
        text << entry.interfaceName << " flags=" << entry.flags
             << " family=" << entry.family.value_or(-1)
             << " host=" << entry.numericHost.value_or("-") << "\n";
    }
    return text.str();
}

class LocalAddressesNamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: a network namespace";
        }
        // A run that was killed may have left it behind.
        run("ip netns del " + kNamespace);
        const CommandResult added = run("ip netns add " + kNamespace);
        if (added.status != 0) {
            GTEST_SKIP() << "network namespaces are not available here: " << added.output;
        }
        isCreated_ = true;
        ASSERT_EQ(inNamespace("ip link set lo up").status, 0);
    }

    void TearDown() override {
        if (isCreated_) {
            // Its veths go with it.
            const CommandResult deleted = run("ip netns del " + kNamespace);
            EXPECT_EQ(deleted.status, 0) << deleted.output;
        }
    }

    // A veth pair with both ends inside the namespace, both down.
    void addVethPair() {
        const CommandResult added = inNamespace("ip link add qa0 type veth peer name qa1");
        ASSERT_EQ(added.status, 0) << added.output;
    }

    void must(const std::string& command) {
        const CommandResult result = inNamespace(command);
        ASSERT_EQ(result.status, 0) << command << ": " << result.output;
    }

    bool isCreated_ = false;
};

TEST_F(LocalAddressesNamespaceTest, OnlyLoopbackGivesAnEmptyList) {
    const Reading reading = readInNamespace();
    ASSERT_TRUE(reading.error.empty()) << reading.error;
    // The reading really came from the namespace: loopback and nothing else.
    EXPECT_EQ(interfaceNames(reading.entries), Strings{"lo"}) << describe(reading);
    EXPECT_TRUE(hasEntry(reading.entries, "lo", AF_INET, "127.0.0.1")) << describe(reading);
    EXPECT_EQ(reading.addresses, Strings{}) << describe(reading);
}

TEST_F(LocalAddressesNamespaceTest, AnUpVethWithAnIPv4AddressIsListed) {
    addVethPair();
    must("ip address add 192.0.2.7/24 dev qa0");
    must("ip link set qa0 up");
    must("ip link set qa1 up");
    const Reading reading = readInNamespace();
    ASSERT_TRUE(reading.error.empty()) << reading.error;
    EXPECT_EQ(reading.addresses, Strings{"192.0.2.7"}) << describe(reading);
}

TEST_F(LocalAddressesNamespaceTest, ADownVethWithAnIPv4AddressIsNotListed) {
    addVethPair();
    must("ip address add 192.0.2.7/24 dev qa0");
    const Reading down = readInNamespace();
    ASSERT_TRUE(down.error.empty()) << down.error;
    // The address is there; only the interface is down.
    EXPECT_TRUE(hasEntry(down.entries, "qa0", AF_INET, "192.0.2.7")) << describe(down);
    EXPECT_EQ(down.addresses, Strings{}) << describe(down);

    must("ip link set qa0 up");
    EXPECT_EQ(readInNamespace().addresses, Strings{"192.0.2.7"});
    must("ip link set qa0 down");
    EXPECT_EQ(readInNamespace().addresses, Strings{});
}

TEST_F(LocalAddressesNamespaceTest, AnIPv6OnlyVethIsNotListed) {
    addVethPair();
    must("ip address add 2001:db8::7/64 dev qa0 nodad");
    must("ip link set qa0 up");
    must("ip link set qa1 up");
    const Reading reading = readInNamespace();
    ASSERT_TRUE(reading.error.empty()) << reading.error;
    EXPECT_TRUE(hasEntry(reading.entries, "qa0", AF_INET6, "2001:db8::7")) << describe(reading);
    EXPECT_EQ(reading.addresses, Strings{}) << describe(reading);
}

TEST_F(LocalAddressesNamespaceTest, SeveralAddressesComeInTheSystemsOrderUnsorted) {
    addVethPair();
    // A primary then a secondary of the same subnet: the kernel lists them
    // in that order, which is not sorted.
    must("ip address add 192.0.2.7/24 dev qa0");
    must("ip address add 192.0.2.3/24 dev qa0");
    must("ip address add 198.51.100.4/24 dev qa1");
    must("ip link set qa0 up");
    must("ip link set qa1 up");
    const Reading reading = readInNamespace();
    ASSERT_TRUE(reading.error.empty()) << reading.error;

    // ip(8), a real peer reading the same kernel list, sees the same order.
    const CommandResult shown = inNamespace("ip -o -4 address show up");
    ASSERT_EQ(shown.status, 0) << shown.output;
    Strings expected;
    std::istringstream lines(shown.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string index, name, family, address;
        fields >> index >> name >> family >> address;
        if (name != "lo") {
            expected.push_back(address.substr(0, address.find('/')));
        }
    }
    EXPECT_EQ(reading.addresses, expected) << describe(reading);
    ASSERT_EQ(reading.addresses.size(), 3u) << describe(reading);
    const auto at = [&](const std::string& address) {
        return std::find(reading.addresses.begin(), reading.addresses.end(), address) -
               reading.addresses.begin();
    };
    EXPECT_LT(at("192.0.2.7"), at("192.0.2.3"));
}

} // namespace
} // namespace quorvi
