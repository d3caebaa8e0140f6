// Display services, XTest events and the survival of a lost X server,
// against a real Xorg on the dummy driver, checked with real peers (xrandr,
// xdotool, a plain Xlib window).

#include "display/VirtualDisplayController.h"
#include "input/InputInjector.h"
#include "linux/XorgDummyTest.h"
#include "platform/linux/X11DisplayServices.h"
#include "platform/linux/X11ErrorHandling.h"
#include "platform/linux/XTestEventPoster.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>
#include <unistd.h>
// Xlib's None and Bool are macros, and Google Test uses both names.
#undef None
#undef Bool

#include <gtest/gtest.h>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using testing::CommandResult;
using testing::eventually;
using testing::SeenEvent;
using testing::TestWindow;

// Our own display number, so that a developer's server on the script's
// default one is never touched.
constexpr int kDisplayNumber = 86;
const std::string kDisplayName = ":" + std::to_string(kDisplayNumber);

InputEventMessage gesture(const std::string& phase, double x, double y, double dx = 0,
                          double dy = 0) {
    InputEventMessage message;
    message.phase = phase;
    message.x = x;
    message.y = y;
    message.dx = dx;
    message.dy = dy;
    return message;
}

class X11DisplayTest : public testing::XorgDummyTest {
protected:
    X11DisplayTest() : XorgDummyTest(kDisplayNumber) {}

    void TearDown() override {
        window_.reset();
        XorgDummyTest::TearDown();
    }

    // A second monitor of 800 x 600 on the spare output DUMMY1, right of
    // DUMMY0.
    void lightSecondMonitor() {
        onTestDisplay("xrandr --newmode quorvi-test-800 38.25 800 832 912 1024 600 603 607 624 "
                      "-hsync +vsync");
        ASSERT_EQ(onTestDisplay("xrandr --addmode DUMMY1 quorvi-test-800").status, 0);
        const CommandResult lit =
            onTestDisplay("xrandr --output DUMMY1 --mode quorvi-test-800 --right-of DUMMY0");
        ASSERT_EQ(lit.status, 0) << lit.output;
    }

    // A window over all of DUMMY0 that reports buttons and motion.
    void openTestWindow() {
        window_ = std::make_unique<TestWindow>(kDisplayName, 0, 0, 1920, 1200);
        ASSERT_TRUE(window_->isReady());
    }

    std::vector<SeenEvent> collectButtons(std::size_t count) {
        return window_->collect([count](const std::vector<SeenEvent>& seen) {
            return buttonsOnly(seen).size() >= count;
        });
    }

    std::vector<SeenEvent> collectUntilMotionTo(int x, int y) {
        return window_->collect([x, y](const std::vector<SeenEvent>& seen) {
            return !seen.empty() && seen.back().type == MotionNotify && seen.back().x == x &&
                   seen.back().y == y;
        });
    }

    static std::vector<SeenEvent> buttonsOnly(const std::vector<SeenEvent>& events) {
        return TestWindow::buttonsOnly(events);
    }

    std::unique_ptr<TestWindow> window_;
};

TEST_F(X11DisplayTest, TheMainDisplayIsThePrimaryMonitorAtTheOrigin) {
    X11DisplayServices displays(kDisplayName);
    const DisplayID main = monitorID("DUMMY0");
    EXPECT_EQ(displays.mainDisplayID(), main);
    EXPECT_EQ(displays.onlineDisplayIDs(), std::vector<DisplayID>{main});
    EXPECT_EQ(displays.bounds(main), (DisplayRect{0, 0, 1920, 1200}));
    EXPECT_EQ(displays.pixelsWide(main), 1920u);
    EXPECT_EQ(displays.pixelsHigh(main), 1200u);
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#" + std::to_string(main) + " 1920x1200 @ 0,0"}));
}

TEST_F(X11DisplayTest, ASecondMonitorRightOfTheMainIsDescribedAt1920) {
    lightSecondMonitor();
    X11DisplayServices displays(kDisplayName);
    const DisplayID main = monitorID("DUMMY0");
    const DisplayID second = monitorID("DUMMY1");
    EXPECT_EQ(VirtualDisplayController::onlineDisplayIDs(displays),
              (std::vector<DisplayID>{main, second}));
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#" + std::to_string(main) + " 1920x1200 @ 0,0",
                     "#" + std::to_string(second) + " 800x600 @ 1920,0"}));
    EXPECT_EQ(displays.pixelsWide(second), 800u);
    EXPECT_EQ(displays.pixelsHigh(second), 600u);

    // Turned off, it is gone from the next answer.
    ASSERT_EQ(onTestDisplay("xrandr --output DUMMY1 --off").status, 0);
    EXPECT_EQ(displays.onlineDisplayIDs(), std::vector<DisplayID>{main});
    EXPECT_EQ(displays.pixelsWide(second), 0u);
}

TEST_F(X11DisplayTest, AnUnknownIDHasNoPixelsAndNoBounds) {
    X11DisplayServices displays(kDisplayName);
    EXPECT_EQ(displays.pixelsWide(123456789), 0u);
    EXPECT_EQ(displays.pixelsHigh(123456789), 0u);
    EXPECT_EQ(displays.bounds(123456789), DisplayRect{});
    EXPECT_EQ(displays.pixelsWide(0), 0u);
}

TEST_F(X11DisplayTest, AMonitorOutsideTheScreenIsNotOnline) {
    ASSERT_EQ(
        onTestDisplay("xrandr --setmonitor QuorviTestOutside 100/10x100/10+5000+0 none").status, 0);
    ASSERT_NE(onTestDisplay("xrandr --listactivemonitors").output.find("QuorviTestOutside"),
              std::string::npos);
    X11DisplayServices displays(kDisplayName);
    EXPECT_EQ(displays.onlineDisplayIDs(), std::vector<DisplayID>{monitorID("DUMMY0")});
    EXPECT_EQ(displays.pixelsWide(monitorID("QuorviTestOutside")), 0u);
}

TEST_F(X11DisplayTest, TheGlobalSpaceFollowsTheMainDisplay) {
    lightSecondMonitor();
    ASSERT_EQ(onTestDisplay("xrandr --output DUMMY1 --primary").status, 0);
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const DisplayID left = monitorID("DUMMY0");
    const DisplayID main = monitorID("DUMMY1");

    EXPECT_EQ(displays.mainDisplayID(), main);
    EXPECT_EQ(displays.bounds(main), (DisplayRect{0, 0, 800, 600}));
    EXPECT_EQ(displays.bounds(left), (DisplayRect{-1920, 0, 1920, 1200}));
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#" + std::to_string(main) + " 800x600 @ 0,0",
                     "#" + std::to_string(left) + " 1920x1200 @ -1920,0"}));

    // Global (100, 100) is root (2020, 100); global (-1000, 50) lies on
    // DUMMY0.
    poster.moveMouse({100, 100});
    EXPECT_TRUE(eventually([&] { return server_.pointer() == std::make_pair(2020, 100); }, 3s))
        << "xdotool sees " << server_.pointer().first << "," << server_.pointer().second;
    EXPECT_EQ(displays.pointerLocation(), (DisplayPoint{100, 100}));
    poster.moveMouse({-1000, 50});
    EXPECT_TRUE(eventually([&] { return server_.pointer() == std::make_pair(920, 50); }, 3s));
    EXPECT_EQ(displays.pointerLocation(), (DisplayPoint{-1000, 50}));
}

TEST_F(X11DisplayTest, MovingToAGlobalPointPutsThePointerThere) {
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const InputInjector injector(displays, poster);
    injector.handle(gesture("move", 0.25, 0.5), displays.mainDisplayID());
    EXPECT_TRUE(eventually([&] { return server_.pointer() == std::make_pair(480, 600); }, 3s))
        << "xdotool sees " << server_.pointer().first << "," << server_.pointer().second;
    EXPECT_EQ(displays.pointerLocation(), (DisplayPoint{480, 600}));
}

TEST_F(X11DisplayTest, ATapIsButton1PressThenRelease) {
    openTestWindow();
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const InputInjector injector(displays, poster);
    injector.handle(gesture("tap", 0.25, 0.5), displays.mainDisplayID());
    std::vector<SeenEvent> events = collectButtons(2);
    // The motion to the point comes first; from the press on, nothing but
    // the release.
    while (!events.empty() && events.front().type == MotionNotify) {
        events.erase(events.begin());
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, ButtonPress);
    EXPECT_EQ(events[0].button, 1u);
    EXPECT_EQ(std::make_pair(events[0].x, events[0].y), std::make_pair(480, 600));
    EXPECT_EQ(events[1].type, ButtonRelease);
    EXPECT_EQ(events[1].button, 1u);
    EXPECT_EQ(std::make_pair(events[1].x, events[1].y), std::make_pair(480, 600));
}

TEST_F(X11DisplayTest, APressDraggedAndReleasedCarriesButton1) {
    openTestWindow();
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const InputInjector injector(displays, poster);
    const DisplayID main = displays.mainDisplayID();
    injector.handle(gesture("start", 0.1, 0.1), main);
    injector.handle(gesture("drag", 0.2, 0.2), main);
    injector.handle(gesture("drag", 0.3, 0.3), main);
    injector.handle(gesture("drag", 0.4, 0.4), main);
    injector.handle(gesture("end", 0.4, 0.4), main);
    const std::vector<SeenEvent> events = collectButtons(2);

    std::vector<SeenEvent> fromPress;
    bool isPressed = false;
    for (const SeenEvent& event : events) {
        isPressed = isPressed || event.type == ButtonPress;
        if (isPressed) {
            fromPress.push_back(event);
        }
    }
    ASSERT_EQ(fromPress.size(), 5u);
    EXPECT_EQ(fromPress[0].type, ButtonPress);
    EXPECT_EQ(fromPress[0].button, 1u);
    EXPECT_EQ(std::make_pair(fromPress[0].x, fromPress[0].y), std::make_pair(192, 120));
    const std::pair<int, int> dragPoints[] = {{384, 240}, {576, 360}, {768, 480}};
    for (int i = 0; i < 3; ++i) {
        const SeenEvent& motion = fromPress[static_cast<std::size_t>(i) + 1];
        EXPECT_EQ(motion.type, MotionNotify);
        EXPECT_TRUE(motion.isButton1Held);
        EXPECT_EQ(std::make_pair(motion.x, motion.y), dragPoints[i]);
    }
    EXPECT_EQ(fromPress[4].type, ButtonRelease);
    EXPECT_EQ(fromPress[4].button, 1u);
    EXPECT_EQ(std::make_pair(fromPress[4].x, fromPress[4].y), std::make_pair(768, 480));
}

TEST_F(X11DisplayTest, AVerticalScrollClicksWheelButtons5DownAnd4Up) {
    openTestWindow();
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const InputInjector injector(displays, poster);
    const DisplayID main = displays.mainDisplayID();
    injector.handle(gesture("move", 0.5, 0.5), main);
    collectUntilMotionTo(960, 600);

    // dy 0.05 asks to travel down 60 pixels: one click of button 5, 20
    // pixels carried.
    injector.handle(gesture("scroll", 0.5, 0.5, 0, 0.05), main);
    std::vector<SeenEvent> buttons = buttonsOnly(collectButtons(2));
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].type, ButtonPress);
    EXPECT_EQ(buttons[0].button, 5u);
    EXPECT_EQ(buttons[1].type, ButtonRelease);
    EXPECT_EQ(buttons[1].button, 5u);

    // dy -1 asks to travel up 120 pixels (the clamp): three clicks of
    // button 4, the downward remainder dropped.
    injector.handle(gesture("scroll", 0.5, 0.5, 0, -1), main);
    buttons = buttonsOnly(collectButtons(6));
    ASSERT_EQ(buttons.size(), 6u);
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        EXPECT_EQ(buttons[i].type, i % 2 == 0 ? ButtonPress : ButtonRelease);
        EXPECT_EQ(buttons[i].button, 4u);
    }

    // dx 0.05 asks to travel right: button 7.
    injector.handle(gesture("scroll", 0.5, 0.5, 0.05, 0), main);
    buttons = buttonsOnly(collectButtons(2));
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].button, 7u);

    // Less than one pixel: nothing at all before the next move arrives.
    injector.handle(gesture("scroll", 0.5, 0.5, 0.0005, 0.0008), main);
    injector.handle(gesture("move", 0.25, 0.25), main);
    EXPECT_TRUE(buttonsOnly(collectUntilMotionTo(480, 300)).empty());
}

TEST_F(X11DisplayTest, AnUnknownPhaseOnlyMoves) {
    openTestWindow();
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const InputInjector injector(displays, poster);
    injector.handle(gesture("Start", 0.5, 0.5), displays.mainDisplayID());
    const std::vector<SeenEvent> events = collectUntilMotionTo(960, 600);
    EXPECT_TRUE(buttonsOnly(events).empty());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(std::make_pair(events.back().x, events.back().y), std::make_pair(960, 600));
    EXPECT_FALSE(events.back().isButton1Held);
}

TEST_F(X11DisplayTest, ALostServerAnswersNoDisplaysAndANewOneIsPickedUp) {
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    const DisplayID main = monitorID("DUMMY0");
    ASSERT_EQ(displays.mainDisplayID(), main);
    poster.moveMouse({10, 10});
    closePeer();

    server_.stop();
    EXPECT_EQ(displays.onlineDisplayIDs(), std::vector<DisplayID>{});
    EXPECT_EQ(displays.mainDisplayID(), 0u);
    EXPECT_EQ(displays.pixelsWide(main), 0u);
    EXPECT_EQ(displays.pixelsHigh(main), 0u);
    EXPECT_EQ(displays.bounds(main), DisplayRect{});
    EXPECT_EQ(displays.pointerLocation(), std::nullopt);
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays), Lines{});
    poster.moveMouse({20, 20});
    poster.pressLeftButton({20, 20});
    poster.releaseLeftButton({20, 20});
    poster.scrollPixels(0, 120);

    const std::string restartFailure = server_.start();
    ASSERT_EQ(restartFailure, "");
    peer_ = XOpenDisplay(kDisplayName.c_str());
    ASSERT_NE(peer_, nullptr);
    const DisplayID newMain = monitorID("DUMMY0");
    EXPECT_TRUE(eventually([&] { return displays.mainDisplayID() == newMain; }, 3s));
    EXPECT_EQ(displays.bounds(newMain), (DisplayRect{0, 0, 1920, 1200}));
    // Reconnection attempts are spaced out, so a post right after the
    // restart may still be dropped; a later one gets through.
    EXPECT_TRUE(eventually(
        [&] {
            poster.moveMouse({300, 200});
            return server_.pointer() == std::make_pair(300, 200);
        },
        3s));
    EXPECT_EQ(displays.pointerLocation(), (DisplayPoint{300, 200}));
}

TEST_F(X11DisplayTest, AServerKilledOutrightIsSurvivedToo) {
    X11DisplayServices displays(kDisplayName);
    XTestEventPoster poster(kDisplayName);
    ASSERT_NE(displays.mainDisplayID(), 0u);
    poster.moveMouse({10, 10});
    closePeer();
    ASSERT_TRUE(server_.killOutright());
    EXPECT_TRUE(eventually([&] { return displays.onlineDisplayIDs().empty(); }, 3s));
    poster.dragMouse({30, 30});
    EXPECT_EQ(displays.mainDisplayID(), 0u);
}

TEST(X11DisplayLayout, KeepsMonitorsInsideTheScreenAndPicksThePrimary) {
    const std::vector<X11Monitor> monitors = {
        {11, false, 0, 0, 1920, 1200},    {12, true, 1920, 0, 800, 600},
        {13, false, 5000, 0, 100, 100},   // right of the screen
        {14, false, 2000, 700, 800, 600}, // sticks out at the bottom
        {15, false, 0, 0, 0, 0},          // empty
    };
    const X11DisplayLayout layout = makeX11DisplayLayout(monitors, 2720, 1200);
    ASSERT_EQ(layout.monitors.size(), 2u);
    EXPECT_EQ(layout.monitors[0].id, 11u);
    EXPECT_EQ(layout.monitors[1].id, 12u);
    EXPECT_EQ(layout.mainID, 12u);
    EXPECT_EQ(layout.bounds(11), (DisplayRect{-1920, 0, 1920, 1200}));
    EXPECT_EQ(layout.bounds(12), (DisplayRect{0, 0, 800, 600}));
    EXPECT_EQ(layout.bounds(13), DisplayRect{});
}

TEST(X11DisplayLayout, WithoutAPrimaryTheFirstIsMain) {
    const X11DisplayLayout layout = makeX11DisplayLayout(
        {{21, false, 100, 50, 640, 480}, {22, false, 0, 0, 100, 50}}, 800, 600);
    EXPECT_EQ(layout.mainID, 21u);
    EXPECT_EQ(layout.bounds(21), (DisplayRect{0, 0, 640, 480}));
    EXPECT_EQ(layout.bounds(22), (DisplayRect{-100, -50, 100, 50}));
}

TEST(X11DisplayLayout, APrimaryOutsideTheScreenIsNotMain) {
    const X11DisplayLayout layout =
        makeX11DisplayLayout({{31, false, 0, 0, 640, 480}, {32, true, 640, 0, 640, 480}}, 640, 480);
    EXPECT_EQ(layout.mainID, 31u);
    EXPECT_EQ(layout.monitors.size(), 1u);
}

TEST(X11DisplayLayout, NoMonitorsNoMain) {
    const X11DisplayLayout layout = makeX11DisplayLayout({}, 640, 480);
    EXPECT_EQ(layout.mainID, 0u);
    EXPECT_TRUE(layout.monitors.empty());
    EXPECT_EQ(layout.find(0), nullptr);
}

TEST(WheelClicks, FortyPixelsMakeOneClickAndTheRestIsCarried) {
    std::int32_t remainder = 0;
    EXPECT_EQ(takeWheelClicks(-60, remainder), -1);
    EXPECT_EQ(remainder, -20);
    EXPECT_EQ(takeWheelClicks(-60, remainder), -2);
    EXPECT_EQ(remainder, 0);
    EXPECT_EQ(takeWheelClicks(120, remainder), 3);
    EXPECT_EQ(remainder, 0);
    EXPECT_EQ(takeWheelClicks(39, remainder), 0);
    EXPECT_EQ(remainder, 39);
    EXPECT_EQ(takeWheelClicks(1, remainder), 1);
    EXPECT_EQ(remainder, 0);
}

TEST(WheelClicks, AReversalDropsTheOldRemainder) {
    std::int32_t remainder = 30;
    EXPECT_EQ(takeWheelClicks(-50, remainder), -1);
    EXPECT_EQ(remainder, -10);
}

TEST(WheelClicks, The120PixelsOfTheLargestScrollGiveThreeClicks) {
    std::int32_t remainder = 0;
    EXPECT_GE(takeWheelClicks(120, remainder), 1);
    remainder = 0;
    EXPECT_LE(takeWheelClicks(-120, remainder), -1);
}

TEST(WheelClicks, AnAbsurdScrollIsCapped) {
    std::int32_t remainder = 0;
    EXPECT_EQ(takeWheelClicks(std::numeric_limits<std::int32_t>::max(), remainder),
              kMaxWheelClicksPerScroll);
    remainder = -39;
    EXPECT_EQ(takeWheelClicks(std::numeric_limits<std::int32_t>::min(), remainder),
              -kMaxWheelClicksPerScroll);
}

} // namespace
} // namespace quorvi
