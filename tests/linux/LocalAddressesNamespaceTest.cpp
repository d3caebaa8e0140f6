// The real interface reading under the local address list, in a network
// namespace the test makes and throws away, so that nothing touches the
// machine's own networks. The rules themselves are the unit table's.

#include "linux/TestCommands.h"
#include "system/LocalAddresses.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace quorvi {
namespace {

using testing::runCommand;

TEST(LocalAddressesNamespaceTest, TheKernelsListGoesThroughTheRulesInItsOrder) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: a network namespace";
    }
    const std::string ns = "quorvi-addr-test";
    // A run that was killed may have left it behind.
    runCommand("ip netns del " + ns);
    if (const auto added = runCommand("ip netns add " + ns); added.status != 0) {
        GTEST_SKIP() << "network namespaces are not available here: " << added.output;
    }
    // qa0 up: a primary and a secondary IPv4 address (listed in that order,
    // which is not sorted) and an IPv6 one; qa1 down with an IPv4 address.
    for (const char* command :
         {"link set lo up", "link add qa0 type veth peer name qa1",
          "address add 192.0.2.7/24 dev qa0", "address add 192.0.2.3/24 dev qa0",
          "address add 2001:db8::7/64 dev qa0 nodad", "address add 198.51.100.4/24 dev qa1",
          "link set qa0 up"}) {
        const auto done = runCommand("timeout 20 ip -n " + ns + " " + command);
        EXPECT_EQ(done.status, 0) << command << ": " << done.output;
    }
    // Namespaces belong to threads: this one enters it, reads, and ends; the
    // rest of the test process stays where it was.
    std::vector<std::string> addresses = {"(the namespace could not be entered)"};
    std::thread([&] {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (setns(fd, CLONE_NEWNET) == 0) {
            addresses = ipv4Addresses();
        }
        close(fd);
    }).join();
    const auto deleted = runCommand("ip netns del " + ns); // its veths go with it
    EXPECT_EQ(deleted.status, 0) << deleted.output;
    EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.7", "192.0.2.3"}));
}

} // namespace
} // namespace quorvi
