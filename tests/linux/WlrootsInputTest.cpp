// Pointer input and the window list of a real sway, seen by wev.
#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/wlroots/WlrootsEventPoster.h"
#include "platform/linux/wlroots/WlrootsWindowList.h"

#include <csignal>
#include <fstream>
#include <regex>

namespace quorvi {
namespace {
using testing::eventually;

TEST(WaylandScrollTest, MacWheelSignsBecomeAxisValuesOfTheOtherSign) {
    const std::tuple<int, int, WaylandScroll> cases[] = {
        {0, 120, {0, -120}}, {30, 0, {-30, 0}}, {-45, 6, {45, -6}}, {INT32_MIN, 1, {0x1p31, -1}}};
    for (const auto& [dx, dy, axes] : cases) {
        SCOPED_TRACE(::testing::Message() << dx << ", " << dy);
        EXPECT_EQ(waylandScroll(dx, dy), axes);
    }
}

// What wev says of each pointer event, but frames, times and serials.
const std::regex kNoise(R"(.*\] |(time|serial): \d+; |\w+: \d+ |x, y: |value: |[(),]|(\.\d\d)\d+)");
std::string pointerEvents() {
    std::string events;
    std::ifstream log("/tmp/quorvi-wev-76.log");
    for (std::string line; std::getline(log, line);) {
        if (line.find("wl_pointer] ") != std::string::npos && !line.ends_with("frame")) {
            events += std::regex_replace(line, kNoise, "$2") + "; ";
        }
    }
    return events;
}

struct WlrootsInputTest : testing::SwayHeadlessTest {
    WlrootsInputTest() : SwayHeadlessTest(76) {}
    void TearDown() override {
        if (wev > 0) {
            ::kill(wev, SIGTERM);
        }
        SwayHeadlessTest::TearDown();
    }
    pid_t wev = 0; // spins once its compositor is gone, so it goes first
};
TEST_F(WlrootsInputTest, WevSeesTapsDragsAndScrollsWhereTheyArePostedAndIsListedByItsAppId) {
    // wev fills the main output, off the layout's origin next to another (motions span both), so
    // its surface coordinates are global points; it gets a pointer only once ours exists.
    freshCompositorNext();
    wev = std::stoi(run("sh -c 'stdbuf -oL wev >/tmp/quorvi-wev-76.log 2>&1 & echo $!'").output);
    ASSERT_TRUE(eventually([] { return !run("swaymsg '[app_id=wev] fullscreen'").status; }));
    run("swaymsg 'output HEADLESS-1 pos 0 300; create_output; output HEADLESS-2 pos 1920 0'");
    // Sway lays a new output out after the command has returned.
    ASSERT_TRUE(eventually([] {
        return run("swaymsg -t get_outputs").output.find("\"x\": 1920,\n      \"y\": 0") !=
               std::string::npos;
    }));
    WlrootsEventPoster poster;
    ASSERT_TRUE(eventually([&] {
        poster.moveMouse({9, 6});
        return !pointerEvents().empty();
    }));
    poster.pressLeftButton({500.5, 300.25});
    poster.releaseLeftButton({500.5, 300.25});
    poster.pressLeftButton({100, 100});
    poster.dragMouse({120.25, 110});
    poster.releaseLeftButton({120.25, 110});
    poster.scrollPixels(-20, 30);
    ASSERT_TRUE(eventually([] { return pointerEvents().ends_with("axis_stop: horizontal; "); }));
    // wev may log the entry at (9, 6), and a motion there, late: ours follow the last of them.
    const std::string events = pointerEvents();
    const std::string first = "9.00 6.00; ";
    ASSERT_NE(events.rfind(first), std::string::npos) << events;
    EXPECT_EQ(events.substr(events.rfind(first) + first.size()),
              "motion: 500.50 300.25; button: left pressed; button: left released; "
              "motion: 100.00 100.00; button: left pressed; motion: 120.25 110.00; "
              "button: left released; finger; axis: vertical -30.00; axis: horizontal 20.00; "
              "finger; axis_stop: vertical; axis_stop: horizontal; ");
    const auto listed = WlrootsWindowList("wev").onScreenWindows().windows;
    ASSERT_TRUE(listed && listed->size() == 1u);
    EXPECT_EQ(listed->front(), (VisibleWindow{listed->front().windowID, "wev", {}, true}));
    EXPECT_FALSE(WlrootsWindowList().onScreenWindows().windows->front().isThisApplication);
}

} // namespace
} // namespace quorvi
