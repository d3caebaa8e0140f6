// The grants, addresses and visibility probe as the server publishes them.
#include "fakes/FakeTransport.h"
#include "fakes/ServerHarness.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace quorvi;
using quorvi::testing::FakeTransport;
using quorvi::testing::ServerHarness;

namespace {

bool journalHas(PublishedState& state, const std::string& line) {
    const auto& logs = state.logs();
    return std::find(logs.begin(), logs.end(), line) != logs.end();
}

} // namespace

TEST(PermissionMonitoring, StartPublishesGrantsAddressesAndTheProbe) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.windowList->setWindows({{1, "Firefox", 4242, false},
                                    {2, "Firefox", 4242, false},
                                    {3, "Quorvi", static_cast<std::int64_t>(::getpid()), false},
                                    {4, std::nullopt, 99, false}});
    harness.server->start();
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.state().captureVisibilitySummary() != "Capture non testée"; }));
    EXPECT_EQ(harness.state().permissionSummary(), "Screen OK · Accessibility OK");
    EXPECT_EQ(harness.state().localAddresses(), std::vector<std::string>{"192.0.2.7"});
    EXPECT_EQ(harness.state().captureVisibilitySummary(), "2 fenêtres · Firefox");
    EXPECT_TRUE(journalHas(harness.state(), "Capture visibilité: Firefox"));
}

TEST(PermissionMonitoring, TheTimerNoticesAChangeWithinTwoSecondsEvenAfterStop) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.server->start();
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return harness.state().permissionSummary() == "Screen OK · Accessibility OK"; }));
    harness.server->stop(); // the timer survives a stop
    harness.grants->setScreenRecording(false);
    harness.grants->setAccessibility(false);
    *harness.addresses = {};
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] {
            return harness.state().permissionSummary() ==
                   "Screen manquant · Accessibility manquant";
        },
        3s));
    EXPECT_TRUE(harness.state().localAddresses().empty());
}

TEST(PermissionMonitoring, TheAccessibilityNotificationRefreshesHalfASecondLater) {
    ServerHarness harness(0, std::make_shared<FakeTransport>());
    harness.grants->setScreenRecording(false);
    harness.server->refreshPermissions();
    ASSERT_TRUE(harness.mainQueue->drainUntil([&] {
        return journalHas(harness.state(), "Capture visibilité: Screen Recording manquant");
    }));
    harness.grants->setScreenRecording(true);
    harness.windowList->setWindows({{1, "Firefox", 4242, false}});
    const auto asked = std::chrono::steady_clock::now();
    harness.notifications->postNotification("com.apple.accessibility.api");
    ASSERT_TRUE(harness.mainQueue->drainUntil(
        [&] { return journalHas(harness.state(), "Capture visibilité: Firefox"); }));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 450ms);
}
