// The displays, grants and window list of GNOME, read from a real headless
// Mutter.
#include "capture/CaptureVisibilityStatus.h"
#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/gnome/GnomeDisplayServices.h"
#include "platform/linux/gnome/GnomePrivacyGrants.h"
#include "platform/linux/gnome/GnomeWindowList.h"

#include <chrono>

using namespace quorvi;
using namespace quorvi::testing;

namespace {

class GnomeDisplayTest : public MutterHeadlessTest {
protected:
    GnomeDisplayTest() : MutterHeadlessTest(86) {}

    // The grants cache what they saw for a moment; wait for them to follow.
    static bool grantsBecome(GnomePrivacyGrants& grants, bool expected) {
        return eventually(
            [&] {
                return grants.isScreenRecordingGranted() == expected &&
                       grants.isAccessibilityGranted() == expected;
            },
            std::chrono::seconds(10));
    }
};

TEST_F(GnomeDisplayTest, TheVirtualMonitorIsOneDisplayThatKeepsItsIdentifierAndFollowsChanges) {
    GnomeDisplayServices displays;
    const DisplayID main = displays.mainDisplayID();
    ASSERT_NE(main, 0u);
    EXPECT_EQ(displays.onlineDisplayIDs(), std::vector<DisplayID>{main});
    EXPECT_EQ(displays.bounds(main), (DisplayRect{0, 0, 1920, 1200}));
    EXPECT_EQ(displays.pixelsWide(main), 1920u);
    EXPECT_EQ(displays.pixelsHigh(main), 1200u);
    EXPECT_EQ(displays.connectorOf(main), "Meta-0");
    EXPECT_EQ(displays.displayOnConnector("Meta-0"), main);
    EXPECT_EQ(GnomeDisplayServices().mainDisplayID(), main);

    // Turned a quarter by another client: Mutter's change signal alone
    // brings the new shape.
    freshCompositorNext();
    const MonitorConfiguration configuration = displays.configuration();
    ASSERT_NE(configuration.serial, 0u);
    const std::string turned = "\"[(0, 0, 1.0, uint32 1, true, [('Meta-0', '" +
                               configuration.monitors.at(0).currentMode->id +
                               "', @a{sv} {})])]\" \"@a{sv} {}\"";
    ASSERT_EQ(run("gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path "
                  "/org/gnome/Mutter/DisplayConfig --method "
                  "org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig " +
                  std::to_string(configuration.serial) + " 1 " + turned)
                  .status,
              0);
    EXPECT_TRUE(eventually([&] { return displays.bounds(main) == DisplayRect{0, 0, 1200, 1920}; }));
    EXPECT_EQ(displays.pixelsWide(main), 1200u);
}

TEST_F(GnomeDisplayTest, GrantsFollowMutterAwayAndBackAndNoWindowListIsMadeUp) {
    GnomePrivacyGrants grants;
    GnomeWindowList windows;
    ASSERT_TRUE(grantsBecome(grants, true));
    EXPECT_EQ(CaptureVisibilityStatus::current(grants, windows).summary,
              "Diagnostic capture échoué: GNOME ne donne pas la liste des fenêtres des autres "
              "applications");
    stopCompositor();
    EXPECT_TRUE(grantsBecome(grants, false));
    ASSERT_EQ(runCommand(repositoryPath("scripts/test-env/mutter-headless") + " start 86").status,
              0);
    EXPECT_TRUE(grantsBecome(grants, true));
}

} // namespace
