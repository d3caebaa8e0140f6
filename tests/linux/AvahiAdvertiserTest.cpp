// DNS-SD advertisement through a real avahi-daemon, seen by avahi-browse.
// scripts/test-env/avahi-netns runs the daemon in a private network
// namespace; a desktop's own daemon is used as found, and the cases that
// would have to stop it skip.

#include "linux/TestCommands.h"
#include "platform/linux/AvahiServiceAdvertiser.h"

#include <filesystem>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using testing::CommandResult;
using testing::runCommand;

const std::string kType = "_quorvi._tcp";
const std::string kName = "Quorvi Test";
// kName as avahi-browse -p shows it, its space escaped.
const std::string kLabel = "Quorvi\\032Test";
constexpr std::uint16_t kPort = 54999;
const std::string kUnreachable = "avahi-daemon injoignable";

CommandResult testEnv(const std::string& action) {
    return runCommand(testing::repositoryPath("scripts/test-env/avahi-netns") + " " + action);
}

// The problems an advertiser reported, from whatever thread it used.
class ProblemLog {
public:
    ServiceAdvertiser::ProblemHandler handler() {
        return [this](const std::string& reason) {
            std::lock_guard lock(mutex_);
            reasons_.push_back(reason);
        };
    }
    std::vector<std::string> reasons() {
        std::lock_guard lock(mutex_);
        return reasons_;
    }
    bool waitForCount(std::size_t count) {
        return testing::eventually([&] { return reasons().size() >= count; }, 10s);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> reasons_;
};

// Runs work on its own thread and tells whether it finished in time; a hang
// leaves the thread behind instead of hanging the test binary.
bool finishesWithin30s(std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(30s) == std::future_status::ready;
}

class AvahiAdvertiserTest : public ::testing::Test {
protected:
    // Each case starts the environment again: one that stopped the daemon
    // may have failed before restarting it.
    void SetUp() override {
        if (geteuid() != 0 ||
            runCommand("ip netns add quorvi-probe && ip netns del quorvi-probe").status != 0) {
            GTEST_SKIP() << "needs root, network namespaces and the system D-Bus";
        }
        const CommandResult started = testEnv("start");
        ASSERT_EQ(started.status, 0) << started.output;
        isDaemonOurs_ =
            started.output.find("using the avahi-daemon that already runs") == std::string::npos;
    }
    static void TearDownTestSuite() { testEnv("stop"); }

    // Browses until avahi-browse resolves each name on its port (0: not at
    // all); inside the namespace when the daemon is ours, so that interface
    // names read as there ("qv0").
    static bool isSeen(const std::map<std::string, int>& expected) {
        std::map<std::string, int> wanted = expected;
        std::erase_if(wanted, [](const auto& entry) { return entry.second == 0; });
        const std::regex resolved("^=;[^;]*;[^;]*;([^;]*);[^;]*;[^;]*;[^;]*;[^;]*;([0-9]+);");
        const bool isMet = testing::eventually(
            [&] {
                const std::string prefix = isDaemonOurs_ ? "ip netns exec quorvi-mdns " : "";
                dump_ = runCommand(prefix + "timeout 20 avahi-browse -rtpk " + kType).output;
                std::map<std::string, int> seen;
                std::istringstream lines(dump_);
                std::smatch match;
                for (std::string line; std::getline(lines, line);) {
                    if (std::regex_search(line, match, resolved) && expected.contains(match[1])) {
                        seen[match[1]] = std::stoi(match[2]);
                    }
                }
                return seen == wanted;
            },
            30s);
        EXPECT_TRUE(isMet) << "avahi-browse saw:\n" << dump_;
        return isMet;
    }

    static inline bool isDaemonOurs_ = false;
    static inline std::string dump_;
};

TEST_F(AvahiAdvertiserTest, APeerFindsTheServicesUntilWithdrawOrDestructionAndAClashIsRenamed) {
    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory;
    auto first = factory.advertise(kName, kType, kPort, problems.handler());
    ASSERT_TRUE(isSeen({{kLabel, kPort}}));
    // The same name again gets Avahi's alternative, "Quorvi Test #2".
    const std::string renamed = kLabel + "\\032\\0352";
    auto second = factory.advertise(kName, kType, kPort - 1, problems.handler());
    EXPECT_TRUE(isSeen({{kLabel, kPort}, {renamed, kPort - 1}}));

    first->withdraw();
    EXPECT_TRUE(isSeen({{kLabel, 0}, {renamed, kPort - 1}})) << "still there after withdraw()";
    // A second withdraw() and the destruction after it are harmless.
    first->withdraw();
    first.reset();
    second.reset();
    EXPECT_TRUE(isSeen({{renamed, 0}})) << "still advertised after destruction";
    // A clash is handled, not reported.
    EXPECT_EQ(problems.reasons(), std::vector<std::string>{});
}

// Two outages of our daemon: the first before the service was ever
// registered, the second while registered. Each is reported once, without
// the word the window reads as a stopped server, and the service returns
// with the daemon, with no call of ours. Advertisers may be destroyed
// during an outage, even by their own handler on the Avahi thread.
TEST_F(AvahiAdvertiserTest, EachOutageIsReportedOnceAndTheServiceReturnsWithTheDaemon) {
    if (!isDaemonOurs_) {
        GTEST_SKIP() << "the avahi-daemon in use belongs to this desktop; it is not stopped";
    }
    ASSERT_EQ(testEnv("daemon-stop").status, 0);
    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory;
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());

    std::promise<void> released;
    std::unique_ptr<ServiceAdvertiser> selfDestroying;
    std::mutex mutex;
    {
        std::lock_guard lock(mutex);
        selfDestroying = factory.advertise(kName, kType, kPort - 1, [&](const std::string&) {
            std::unique_ptr<ServiceAdvertiser> doomed;
            {
                std::lock_guard inner(mutex);
                doomed = std::move(selfDestroying);
            }
            if (doomed) {
                doomed.reset();
                released.set_value();
            }
        });
    }
    EXPECT_EQ(released.get_future().wait_for(30s), std::future_status::ready);
    auto atOnce = factory.advertise(kName, kType, kPort - 2, nullptr);
    EXPECT_TRUE(finishesWithin30s([doomed = std::shared_ptr(std::move(atOnce))]() mutable {
        doomed.reset();
    })) << "destruction hung without a daemon";

    ASSERT_TRUE(problems.waitForCount(1));
    ASSERT_EQ(testEnv("start").status, 0);
    EXPECT_TRUE(isSeen({{kLabel, kPort}})) << "not registered again after the daemon returned";
    ASSERT_EQ(testEnv("daemon-stop").status, 0);
    ASSERT_TRUE(problems.waitForCount(2));
    ASSERT_EQ(testEnv("start").status, 0);
    EXPECT_TRUE(isSeen({{kLabel, kPort}})) << "not registered again after the second outage";
    EXPECT_EQ(problems.reasons(), std::vector<std::string>(2, kUnreachable));

    ASSERT_EQ(testEnv("daemon-stop").status, 0);
    ASSERT_TRUE(problems.waitForCount(3));
    std::shared_ptr<ServiceAdvertiser> shared(std::move(advertiser));
    EXPECT_TRUE(finishesWithin30s([shared]() mutable {
        shared->withdraw();
        shared.reset();
    })) << "withdraw() or destruction hung without a daemon";
}

// Without any system bus the advertiser says so once, keeps retrying, and
// stops at once. libdbus reads the bus address once per process, so this
// runs in a child process of this binary with the address pointing at a
// socket path where a bus appears only later: the retries reach it and find
// no daemon there.
TEST(AvahiAdvertiserWithoutBusTest, ReportsOnceRetriesAndStopsWithoutHanging) {
    const std::string bus = "/tmp/quorvi-no-bus-" + std::to_string(getpid());
    if (std::getenv("QUORVI_AVAHI_NO_BUS") == nullptr) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        const CommandResult child =
            runCommand("QUORVI_AVAHI_NO_BUS=" + bus + " DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus +
                       " '" + self + "' --gtest_filter=AvahiAdvertiserWithoutBusTest.*");
        EXPECT_EQ(child.status, 0) << child.output;
        EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
        return;
    }
    const std::string path = std::getenv("QUORVI_AVAHI_NO_BUS");
    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory(10ms);
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());
    ASSERT_TRUE(problems.waitForCount(1)) << "a missing bus was not reported";
    const CommandResult started = runCommand("dbus-daemon --session --fork --print-pid=1 "
                                             "--address=unix:path=" +
                                             path);
    ASSERT_EQ(started.status, 0) << started.output;
    EXPECT_TRUE(problems.waitForCount(2)) << "the bus that appeared was never reached";
    EXPECT_EQ(problems.reasons(), (std::vector<std::string>{
                                      kUnreachable + ": pas de bus système D-Bus", kUnreachable}));
    std::shared_ptr<ServiceAdvertiser> shared(std::move(advertiser));
    EXPECT_TRUE(finishesWithin30s([shared]() mutable { shared.reset(); }));
    runCommand("kill " + std::to_string(std::atoi(started.output.c_str())) + "; rm -f " + path);
}

} // namespace
} // namespace quorvi
