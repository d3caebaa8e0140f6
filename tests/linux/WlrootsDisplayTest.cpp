// The displays and grants of a wlroots compositor, read from a real sway.
#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/wlroots/WlrootsDisplayServices.h"
#include "platform/linux/wlroots/WlrootsPrivacyGrants.h"

#include <chrono>
#include <thread>

using namespace quorvi;
using namespace quorvi::testing;

namespace {

class WlrootsDisplayTest : public SwayHeadlessTest {
protected:
    WlrootsDisplayTest() : SwayHeadlessTest(73) {}

    // The grants cache what they saw for a moment; wait for them to follow.
    static bool grantsBecome(WlrootsPrivacyGrants& grants, bool expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (grants.isScreenRecordingGranted() == expected &&
                grants.isAccessibilityGranted() == expected) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

TEST_F(WlrootsDisplayTest, OutputsAreDisplaysInLogicalPixelsAndANewOneAppearsWhereItIsPlaced) {
    WlrootsDisplayServices displays;
    const DisplayID main = displays.mainDisplayID();
    ASSERT_NE(main, 0u);
    EXPECT_EQ(displays.onlineDisplayIDs(), std::vector<DisplayID>{main});
    EXPECT_EQ(displays.bounds(main), (DisplayRect{0, 0, 1920, 1200}));
    EXPECT_EQ(displays.pixelsWide(main), 1920u);
    EXPECT_EQ(displays.pixelsHigh(main), 1200u);
    EXPECT_EQ(displays.displayNamed("HEADLESS-1"), main);

    freshCompositorNext();
    ASSERT_EQ(run("swaymsg create_output").status, 0);
    ASSERT_EQ(run("swaymsg output HEADLESS-2 mode 800x600 scale 2 pos 1920 0").status, 0);
    const DisplayID added = displays.displayNamed("HEADLESS-2");
    ASSERT_NE(added, 0u);
    EXPECT_NE(added, main);
    EXPECT_EQ(displays.mainDisplayID(), main);
    EXPECT_EQ(displays.bounds(added), (DisplayRect{1920, 0, 400, 300}));
    EXPECT_EQ(displays.pixelsWide(added), 800u);
    EXPECT_EQ(displays.pixelsHigh(added), 600u);
    EXPECT_EQ(displays.bounds(12345), DisplayRect{});
    EXPECT_FALSE(displays.pointerLocation());
}

TEST_F(WlrootsDisplayTest, GrantsFollowTheCompositorAwayAndBack) {
    WlrootsPrivacyGrants grants;
    ASSERT_TRUE(grantsBecome(grants, true));
    stopCompositor();
    EXPECT_TRUE(grantsBecome(grants, false));
    ASSERT_EQ(runCommand(repositoryPath("scripts/test-env/sway-headless") + " start 73").status, 0);
    EXPECT_TRUE(grantsBecome(grants, true));
}

} // namespace
