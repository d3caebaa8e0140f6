// DNS-SD advertisement through a real avahi-daemon, checked with a real peer
// (avahi-browse). The daemon runs in a private network namespace made by
// scripts/test-env/avahi-netns, so multicast DNS never reaches a real network.

#include "linux/TestCommands.h"
#include "platform/linux/AvahiServiceAdvertiser.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorvi {
namespace {

using namespace std::chrono_literals;

const std::string kNamespace = "quorvi-mdns";
const std::string kType = "_quorvi._tcp";
const std::string kName = "Quorvi Test";
constexpr std::uint16_t kPort = 54999;
// Discovery goes through the daemon's probing and announcing: seconds, not
// milliseconds, and more on a loaded machine. Generous on purpose.
constexpr auto kDeadline = 30s;

using testing::CommandResult;
constexpr auto run = testing::runCommand;

CommandResult testEnv(const std::string& action) {
    return run(testing::repositoryPath("scripts/test-env/avahi-netns") + " " + action);
}

// avahi-browse escapes a label's dots, backslashes and non-printable bytes
// (spaces included) as "\." and "\DDD".
std::string unescapeLabel(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto isDigitAt = [&](std::size_t at) {
            return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0;
        };
        if (text[i] == '\\' && isDigitAt(i + 1) && isDigitAt(i + 2) && isDigitAt(i + 3)) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Resolved {
    std::string interface;
    std::string protocol;
    std::string name;
    std::string type;
    std::string domain;
    std::string host;
    std::string address;
    int port = 0;
};

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream stream(line);
    while (std::getline(stream, field, separator)) {
        fields.push_back(field);
    }
    return fields;
}

std::vector<std::string> avahiDaemonPids() {
    std::vector<std::string> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        FILE* comm = std::fopen((entry.path() / "comm").c_str(), "r");
        if (comm == nullptr) {
            continue;
        }
        char name[64] = {};
        const bool isAvahi =
            std::fgets(name, sizeof name, comm) != nullptr && std::string(name) == "avahi-daemon\n";
        std::fclose(comm);
        if (isAvahi) {
            pids.push_back(pid);
        }
    }
    return pids;
}

std::string networkNamespaceOf(const std::string& pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + pid + "/ns/net", error).string();
}

// The problems an advertiser reported, from whatever thread it used.
class ProblemLog {
public:
    ServiceAdvertiser::ProblemHandler handler() {
        return [this](const std::string& reason) {
            std::lock_guard<std::mutex> lock(mutex_);
            reasons_.push_back(reason);
            changed_.notify_all();
        };
    }

    std::vector<std::string> reasons() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reasons_;
    }

    bool waitForCount(std::size_t count, std::chrono::seconds deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return reasons_.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> reasons_;
};

bool mentionsStoppedServer(const std::string& reason) {
    return reason.find("échoué") != std::string::npos;
}

// Runs work on its own thread and tells whether it finished in time; a hang
// leaves the thread behind (detached) instead of hanging the test binary.
bool finishesWithin(std::function<void()> work, std::chrono::seconds deadline) {
    auto state = std::make_shared<std::pair<std::mutex, bool>>();
    auto done = std::make_shared<std::condition_variable>();
    std::thread([work = std::move(work), state, done] {
        work();
        std::lock_guard<std::mutex> lock(state->first);
        state->second = true;
        done->notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(state->first);
    return done->wait_for(lock, deadline, [&] { return state->second; });
}

class AvahiAdvertiserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        skipReason_.clear();
        startError_.clear();
        if (geteuid() != 0) {
            skipReason_ = "needs root: a network namespace and the system D-Bus";
            return;
        }
        const std::string probeName = "quorvi-probe-" + std::to_string(getpid());
        const CommandResult probe =
            run("ip netns add " + probeName + " && ip netns del " + probeName);
        if (probe.status != 0) {
            skipReason_ = "network namespaces are not available here: " + probe.output;
            return;
        }
        const CommandResult started = testEnv("start");
        isEnvStarted_ = true;
        if (started.status != 0) {
            startError_ = started.output;
            return;
        }
        isDaemonOurs_ =
            started.output.find("using the avahi-daemon that already runs") == std::string::npos;
    }

    static void TearDownTestSuite() {
        if (isEnvStarted_) {
            const CommandResult stopped = testEnv("stop");
            EXPECT_EQ(stopped.status, 0) << stopped.output;
            isEnvStarted_ = false;
        }
    }

    void SetUp() override {
        if (!skipReason_.empty()) {
            GTEST_SKIP() << skipReason_;
        }
        ASSERT_TRUE(startError_.empty()) << "test environment: " << startError_;
        // A case that stopped the daemon may have failed before restarting it.
        const CommandResult started = testEnv("start");
        ASSERT_EQ(started.status, 0) << started.output;
    }

    void TearDown() override {
        if (!skipReason_.empty() || !isDaemonOurs_) {
            return;
        }
        // Ours must never leave the namespace: none may share the host's
        // network. That is pid 1's, or ours where a container hides pid 1's.
        std::string hostNamespace = networkNamespaceOf("1");
        if (hostNamespace.empty()) {
            hostNamespace = networkNamespaceOf("self");
        }
        ASSERT_FALSE(hostNamespace.empty());
        for (const std::string& pid : avahiDaemonPids()) {
            EXPECT_NE(networkNamespaceOf(pid), hostNamespace)
                << "avahi-daemon " << pid << " runs on the host's interfaces";
        }
    }

    // avahi-browse, resolving, one dump. Run inside the namespace when the
    // daemon is ours so interface names read as there ("qv0"); it only talks
    // to the daemon over D-Bus either way.
    static std::vector<Resolved> browse() {
        const std::string prefix = isDaemonOurs_ ? "ip netns exec " + kNamespace + " " : "";
        const CommandResult result = run(prefix + "timeout 20 avahi-browse -rtpk " + kType);
        std::vector<Resolved> found;
        std::istringstream lines(result.output);
        std::string line;
        while (std::getline(lines, line)) {
            const std::vector<std::string> fields = split(line, ';');
            if (fields.size() < 9 || fields[0] != "=") {
                continue;
            }
            Resolved entry;
            entry.interface = fields[1];
            entry.protocol = fields[2];
            entry.name = unescapeLabel(fields[3]);
            entry.type = fields[4];
            entry.domain = fields[5];
            entry.host = fields[6];
            entry.address = fields[7];
            entry.port = std::atoi(fields[8].c_str());
            found.push_back(entry);
        }
        return found;
    }

    static const Resolved* find(const std::vector<Resolved>& entries, const std::string& name) {
        for (const Resolved& entry : entries) {
            if (entry.name == name && entry.type == kType) {
                return &entry;
            }
        }
        return nullptr;
    }

    // Browses until the condition holds or the deadline passes; returns the
    // last dump either way so failures can show what was seen.
    static std::vector<Resolved>
    browseUntil(const std::function<bool(const std::vector<Resolved>&)>& condition, bool* isMet) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        std::vector<Resolved> entries;
        do {
            entries = browse();
            if (condition(entries)) {
                *isMet = true;
                return entries;
            }
            std::this_thread::sleep_for(200ms);
        } while (std::chrono::steady_clock::now() < deadline);
        *isMet = false;
        return entries;
    }

    static bool isVisible(const std::string& name, int port) {
        bool isMet = false;
        browseUntil(
            [&](const std::vector<Resolved>& entries) {
                const Resolved* entry = find(entries, name);
                return entry != nullptr && entry->port == port;
            },
            &isMet);
        return isMet;
    }

    static bool isGone(const std::string& name) {
        bool isMet = false;
        browseUntil([&](const std::vector<Resolved>& entries) { return !find(entries, name); },
                    &isMet);
        return isMet;
    }

    static std::string describe(const std::vector<Resolved>& entries) {
        std::string text;
        for (const Resolved& entry : entries) {
            text += entry.interface + ";" + entry.protocol + ";" + entry.name + ";" + entry.type +
                    ";" + entry.host + ";" + entry.address + ";" + std::to_string(entry.port) +
                    "\n";
        }
        return text.empty() ? "(nothing)" : text;
    }

    void requireOwnDaemon() {
        if (!isDaemonOurs_) {
            GTEST_SKIP() << "the avahi-daemon in use belongs to this desktop; it is not stopped";
        }
    }

    static inline std::string skipReason_;
    static inline std::string startError_;
    static inline bool isEnvStarted_ = false;
    static inline bool isDaemonOurs_ = false;
};

TEST_F(AvahiAdvertiserTest, AdvertisedServiceIsFoundByAPeerWithItsPort) {
    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory;
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());

    bool isMet = false;
    const auto entries = browseUntil(
        [](const std::vector<Resolved>& seen) { return find(seen, kName) != nullptr; }, &isMet);
    ASSERT_TRUE(isMet) << "avahi-browse never saw \"" << kName << "\"; last dump:\n"
                       << describe(entries);
    const Resolved* entry = find(entries, kName);
    EXPECT_EQ(entry->port, kPort);
    EXPECT_EQ(entry->domain, "local");
    if (isDaemonOurs_) {
        EXPECT_EQ(entry->interface, "qv0");
        EXPECT_EQ(entry->protocol, "IPv4");
        EXPECT_EQ(entry->address, "192.0.2.50");
        EXPECT_EQ(entry->host, "quorvi-test.local");
    }
    EXPECT_TRUE(problems.reasons().empty()) << problems.reasons().front();
}

TEST_F(AvahiAdvertiserTest, WithdrawRemovesTheService) {
    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory;
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());
    ASSERT_TRUE(isVisible(kName, kPort));

    advertiser->withdraw();
    EXPECT_TRUE(isGone(kName)) << "still advertised after withdraw()";

    // A second withdraw() and the destruction after it are harmless.
    advertiser->withdraw();
    advertiser.reset();
    EXPECT_TRUE(problems.reasons().empty()) << problems.reasons().front();
}

TEST_F(AvahiAdvertiserTest, DestructionWithdrawsTheServiceToo) {
    AvahiServiceAdvertiserFactory factory;
    auto advertiser = factory.advertise(kName, kType, kPort, nullptr);
    ASSERT_TRUE(isVisible(kName, kPort));

    advertiser.reset();
    EXPECT_TRUE(isGone(kName)) << "still advertised after destruction";
}

TEST_F(AvahiAdvertiserTest, MissingDaemonIsReportedOnceAndTheServiceReturnsWithIt) {
    requireOwnDaemon();
    const CommandResult stopped = testEnv("daemon-stop");
    ASSERT_EQ(stopped.status, 0) << stopped.output;

    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory;
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());

    ASSERT_TRUE(problems.waitForCount(1, 10s)) << "no problem reported without a daemon";
    EXPECT_EQ(problems.reasons().front(), "avahi-daemon injoignable");
    EXPECT_FALSE(mentionsStoppedServer(problems.reasons().front()));
    // Once per outage, not once per attempt.
    EXPECT_FALSE(problems.waitForCount(2, 3s)) << problems.reasons().back();

    // The daemon comes back: the service follows with no call of ours.
    const CommandResult restarted = testEnv("start");
    ASSERT_EQ(restarted.status, 0) << restarted.output;
    EXPECT_TRUE(isVisible(kName, kPort)) << "not registered again after the daemon returned";
    EXPECT_EQ(problems.reasons().size(), 1u);

    // A second outage, this time while registered, is a new problem...
    ASSERT_EQ(testEnv("daemon-stop").status, 0);
    ASSERT_TRUE(problems.waitForCount(2, 10s)) << "losing the daemon was not reported";
    EXPECT_EQ(problems.reasons().back(), "avahi-daemon injoignable");
    EXPECT_FALSE(problems.waitForCount(3, 3s)) << problems.reasons().back();

    // ...and ends the same way.
    ASSERT_EQ(testEnv("start").status, 0);
    EXPECT_TRUE(isVisible(kName, kPort)) << "not registered again after the second outage";
    for (const std::string& reason : problems.reasons()) {
        EXPECT_FALSE(mentionsStoppedServer(reason)) << reason;
    }
}

TEST_F(AvahiAdvertiserTest, SecondServiceOfTheSameNameTakesTheAlternativeName) {
    ProblemLog firstProblems;
    ProblemLog secondProblems;
    AvahiServiceAdvertiserFactory factory;
    auto first = factory.advertise(kName, kType, kPort, firstProblems.handler());
    ASSERT_TRUE(isVisible(kName, kPort));

    auto second = factory.advertise(kName, kType, kPort - 1, secondProblems.handler());
    bool isMet = false;
    const auto entries = browseUntil(
        [](const std::vector<Resolved>& seen) {
            const Resolved* original = find(seen, kName);
            const Resolved* renamed = find(seen, kName + " #2");
            return original != nullptr && original->port == kPort && renamed != nullptr &&
                   renamed->port == kPort - 1;
        },
        &isMet);
    EXPECT_TRUE(isMet) << "expected \"" << kName << "\" on " << kPort << " and \"" << kName
                       << " #2\" on " << kPort - 1 << "; last dump:\n"
                       << describe(entries);
    // A clash is handled, not reported.
    EXPECT_TRUE(firstProblems.reasons().empty()) << firstProblems.reasons().front();
    EXPECT_TRUE(secondProblems.reasons().empty()) << secondProblems.reasons().front();
}

TEST_F(AvahiAdvertiserTest, DestroyingWhileTheDaemonIsDownDoesNotHang) {
    requireOwnDaemon();
    ASSERT_EQ(testEnv("daemon-stop").status, 0);

    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory;
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());
    ASSERT_TRUE(problems.waitForCount(1, 10s));

    // Generous: this guards against a hang, it does not measure anything.
    std::shared_ptr<ServiceAdvertiser> shared(std::move(advertiser));
    EXPECT_TRUE(finishesWithin(
        [shared]() mutable {
            shared->withdraw();
            shared.reset();
        },
        30s))
        << "withdraw() or destruction hung without a daemon";
    // Destroying at once, without withdraw() first, is the same path.
    auto another = factory.advertise(kName, kType, kPort, nullptr);
    std::shared_ptr<ServiceAdvertiser> sharedAnother(std::move(another));
    EXPECT_TRUE(finishesWithin([sharedAnother]() mutable { sharedAnother.reset(); }, 30s));
}

TEST_F(AvahiAdvertiserTest, HandlerMayDestroyItsAdvertiserFromTheAvahiThread) {
    requireOwnDaemon();
    ASSERT_EQ(testEnv("daemon-stop").status, 0);

    // The handler runs on the advertiser's loop thread with the loop locked;
    // destroying the advertiser from there must neither deadlock nor abort.
    std::mutex mutex;
    std::condition_variable released;
    std::unique_ptr<ServiceAdvertiser> advertiser;
    bool isReleased = false;
    AvahiServiceAdvertiserFactory factory;
    {
        std::lock_guard<std::mutex> lock(mutex);
        advertiser = factory.advertise(kName, kType, kPort, [&](const std::string&) {
            std::unique_ptr<ServiceAdvertiser> doomed;
            {
                std::lock_guard<std::mutex> inner(mutex);
                doomed = std::move(advertiser);
            }
            doomed.reset();
            std::lock_guard<std::mutex> inner(mutex);
            isReleased = true;
            released.notify_all();
        });
    }
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(released.wait_for(lock, 30s, [&] { return isReleased; }));
}

// Without any system bus the advertiser reports it once, keeps retrying
// quietly, and still stops at once. libdbus reads the bus address once per
// process, so this runs in a child process of this binary with the address
// pointing nowhere.
TEST(AvahiAdvertiserWithoutBusTest, ReportsOnceAndStopsWithoutHanging) {
    const char* isChild = std::getenv("QUORVI_AVAHI_NO_BUS_CHILD");
    if (isChild == nullptr) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        const CommandResult child =
            run("QUORVI_AVAHI_NO_BUS_CHILD=1 "
                "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/quorvi-no-bus '" +
                self + "' --gtest_filter=AvahiAdvertiserWithoutBusTest.*");
        EXPECT_EQ(child.status, 0) << child.output;
        EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
        return;
    }

    ProblemLog problems;
    AvahiServiceAdvertiserFactory factory(100ms);
    auto advertiser = factory.advertise(kName, kType, kPort, problems.handler());
    ASSERT_TRUE(problems.waitForCount(1, 10s)) << "a missing bus was not reported";
    EXPECT_EQ(problems.reasons().front(), "avahi-daemon injoignable: pas de bus système D-Bus");
    // Retried every 100 ms, reported once.
    EXPECT_FALSE(problems.waitForCount(2, 2s)) << problems.reasons().back();
    std::shared_ptr<ServiceAdvertiser> shared(std::move(advertiser));
    EXPECT_TRUE(finishesWithin([shared]() mutable { shared.reset(); }, 30s));
}

} // namespace
} // namespace quorvi
