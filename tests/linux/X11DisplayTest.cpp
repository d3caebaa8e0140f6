// Display services, XTest events, the privacy grants and a lost X server, on
// a real Xorg (dummy driver) with real peers.

#include "display/VirtualDisplayController.h"
#include "linux/XorgDummyTest.h"
#include "platform/linux/x11/X11DisplayServices.h"
#include "platform/linux/x11/X11PrivacyGrants.h"
#include "platform/linux/x11/XTestEventPoster.h"

#include <limits>

namespace quorvi {
namespace {

using testing::eventually;
using testing::SeenEvent;
using testing::TestWindow;

class X11DisplayTest : public testing::XorgDummyTest {
protected:
    X11DisplayTest() : XorgDummyTest(86) {}

    X11DisplayServices displays_{displayName_};
    XTestEventPoster poster_{displayName_};
};

TEST_F(X11DisplayTest, TheDisplaysAreTheActiveMonitorsInsideTheScreenFromThePrimary) {
    const DisplayID main = monitorID("DUMMY0");
    EXPECT_EQ(displays_.mainDisplayID(), main);
    EXPECT_EQ(displays_.bounds(main), (DisplayRect{0, 0, 1920, 1200}));

    // 800 x 600 on the spare output DUMMY1, which the driver keeps for good.
    freshServerNext();
    server_.run("xrandr --newmode m800 38.25 800 832 912 1024 600 603 607 624 -hsync +vsync");
    ASSERT_EQ(server_.run("xrandr --addmode DUMMY1 m800").status, 0);
    ASSERT_EQ(server_.run("xrandr --output DUMMY1 --mode m800 --right-of DUMMY0").status, 0);
    EXPECT_EQ(displays_.pixelsWide(monitorID("DUMMY1")), 800u);

    // The primary monitor is the origin of the global space: global
    // (100, 100) is root (2020, 100).
    ASSERT_EQ(server_.run("xrandr --output DUMMY1 --primary").status, 0);
    EXPECT_EQ(displays_.mainDisplayID(), monitorID("DUMMY1"));
    EXPECT_EQ(
        VirtualDisplayController::onlineDisplayDescriptions(displays_),
        (std::vector<std::string>{"#" + std::to_string(monitorID("DUMMY1")) + " 800x600 @ 0,0",
                                  "#" + std::to_string(main) + " 1920x1200 @ -1920,0"}));
    poster_.moveMouse({100, 100});
    EXPECT_TRUE(eventually([&] { return server_.pointer() == std::pair(2020, 100); }));
    EXPECT_EQ(displays_.pointerLocation(), (DisplayPoint{100, 100}));

    // Turned off, it is gone from the next answer.
    ASSERT_EQ(server_.run("xrandr --output DUMMY1 --off").status, 0);
    EXPECT_EQ(displays_.onlineDisplayIDs(), std::vector<DisplayID>{main});
    EXPECT_EQ(displays_.pixelsWide(monitorID("DUMMY1")), 0u);
}

// What the window under the pointer sees of a series of posts, up to a
// motion to (marker, 500) posted last: an event they caused comes before it.
std::vector<SeenEvent> seenUpTo(TestWindow& window, int marker) {
    return window.collect([&](const std::vector<SeenEvent>& seen) {
        return !seen.empty() && seen.back().type == MotionNotify && seen.back().x == marker;
    });
}

TEST_F(X11DisplayTest, APressDraggedAndReleasedCarriesButton1AndNoStrayMotion) {
    TestWindow window(displayName_, 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    poster_.moveMouse({192, 120});
    poster_.pressLeftButton({192, 120});
    poster_.dragMouse({384, 240});
    poster_.releaseLeftButton({384, 240});
    poster_.moveMouse({1000, 500});
    std::vector<std::tuple<int, unsigned int, int, int, bool>> seen;
    for (const SeenEvent& e : seenUpTo(window, 1000)) {
        seen.emplace_back(e.type, e.button, e.x, e.y, e.isButton1Held);
    }
    EXPECT_EQ(seen, (decltype(seen){{MotionNotify, 0, 192, 120, false},
                                    {ButtonPress, 1, 192, 120, false},
                                    {MotionNotify, 0, 384, 240, true},
                                    {ButtonRelease, 1, 384, 240, true},
                                    {MotionNotify, 0, 1000, 500, false}}));
}

// The wheel buttons each series of scrolls clicks, in order: 4 up, 5 down,
// 6 left, 7 right, a click per 40 pixels, the rest carried. A reversal
// answers at once in the new direction.
TEST_F(X11DisplayTest, ScrollsClickTheWheelButtonsInOrder) {
    TestWindow window(displayName_, 0, 0, 1920, 1200);
    ASSERT_TRUE(window.isReady());
    const struct {
        const char* name;
        std::vector<std::pair<int, int>> scrolls; // dx, dy; up and left positive
        std::vector<int> buttons;
    } cases[] = {
        {"down then up", {{0, -60}, {0, 40}}, {5, 4}},
        {"up then down", {{0, 60}, {0, -40}}, {4, 5}},
        {"left then right", {{60, 0}, {-40, 0}}, {6, 7}},
        {"the rest carried up", {{0, 39}, {0, 1}}, {4}},
        {"the rest carried down", {{0, -60}, {0, -20}}, {5, 5}},
        {"both axes", {{-40, 80}}, {4, 4, 7}},
        {"an absurd one is capped",
         {{0, 39}, {0, std::numeric_limits<int>::max()}},
         std::vector<int>(kMaxWheelClicksPerScroll, 4)},
    };
    int marker = 100;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        for (const auto& [dx, dy] : row.scrolls) {
            poster_.scrollPixels(dx, dy);
        }
        poster_.moveMouse({static_cast<double>(++marker), 500});
        std::vector<int> seen; // each press as its button, each release negated
        std::vector<int> wanted;
        for (const SeenEvent& event : TestWindow::buttonsOnly(seenUpTo(window, marker))) {
            seen.push_back(static_cast<int>(event.button) * (event.type == ButtonPress ? 1 : -1));
        }
        for (const int button : row.buttons) {
            wanted.insert(wanted.end(), {button, -button});
        }
        EXPECT_EQ(seen, wanted);
    }
}

TEST_F(X11DisplayTest, AKilledServerIsSurvivedAndANewOneIsPickedUp) {
    X11PrivacyGrants grants(displayName_);
    ASSERT_EQ(displays_.mainDisplayID(), monitorID("DUMMY0"));
    // X has no per-process grant: a plain Xorg grants both.
    ASSERT_TRUE(grants.isScreenRecordingGranted() && grants.isAccessibilityGranted());
    poster_.moveMouse({10, 10});
    closePeer();
    ASSERT_TRUE(server_.killOutright());

    EXPECT_TRUE(eventually([&] {
        return displays_.onlineDisplayIDs().empty() && !grants.isScreenRecordingGranted() &&
               !grants.isAccessibilityGranted();
    }));
    EXPECT_EQ(displays_.mainDisplayID(), 0u);
    EXPECT_EQ(displays_.pointerLocation(), std::nullopt);
    poster_.pressLeftButton({20, 20});
    poster_.scrollPixels(0, 120);

    ASSERT_EQ(server_.start(), "");
    EXPECT_TRUE(eventually([&] {
        return displays_.bounds(displays_.mainDisplayID()) == DisplayRect{0, 0, 1920, 1200} &&
               grants.isScreenRecordingGranted() && grants.isAccessibilityGranted();
    }));
    // Reconnections are spaced out: a later post gets through.
    EXPECT_TRUE(eventually([&] {
        poster_.moveMouse({300, 200});
        return server_.pointer() == std::pair(300, 200);
    }));
    EXPECT_EQ(displays_.pointerLocation(), (DisplayPoint{300, 200}));
}

// RandR replies are trusted for nothing: monitors outside the screen, empty,
// nameless or with sizes that overflow are left out.
TEST(X11DisplayLayout, KeepsMonitorsInsideTheScreenAndPicksThePrimaryElseTheFirst) {
    constexpr int kMax = std::numeric_limits<int>::max();
    const X11DisplayLayout layout = makeX11DisplayLayout({{11, false, 0, 0, 1920, 1200},
                                                          {13, true, 5000, 0, 100, 100},
                                                          {12, true, 1920, 0, 800, 600},
                                                          {14, false, 2000, 700, 800, 600},
                                                          {15, false, 0, 0, 0, 0},
                                                          {0, false, 0, 0, 10, 10},
                                                          {16, false, kMax, 0, kMax, 10},
                                                          {17, false, -10, 0, 100, 100}},
                                                         2720, 1200);
    ASSERT_EQ(layout.monitors.size(), 2u);
    EXPECT_EQ(layout.mainID, 12u);
    EXPECT_EQ(layout.bounds(11), (DisplayRect{-1920, 0, 1920, 1200}));
    EXPECT_EQ(layout.bounds(12), (DisplayRect{0, 0, 800, 600}));
    EXPECT_EQ(layout.bounds(13), DisplayRect{});

    const X11DisplayLayout noPrimary = makeX11DisplayLayout(
        {{21, false, 100, 50, 640, 480}, {22, false, 0, 0, 100, 50}}, 800, 600);
    EXPECT_EQ(noPrimary.mainID, 21u);
    EXPECT_EQ(noPrimary.bounds(22), (DisplayRect{-100, -50, 100, 50}));
    EXPECT_EQ(makeX11DisplayLayout({}, 640, 480).mainID, 0u);
}

} // namespace
} // namespace quorvi
