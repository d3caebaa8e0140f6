// Pointer input through a real Mutter's remote-desktop service, seen by wev.
#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/gnome/GnomeDisplayServices.h"
#include "platform/linux/gnome/GnomeEventPoster.h"

#include <csignal>
#include <fstream>
#include <regex>

namespace quorvi {
namespace {
using namespace std::chrono_literals;
using testing::eventually;

// What wev says of each pointer event, but frames, times and serials.
const std::regex kNoise(R"(.*\] |(time|serial): \d+; |\w+: \d+ |x, y: |value: |[(),]|(\.\d\d)\d+)");
std::string pointerEvents() {
    std::string events;
    std::ifstream log("/tmp/quorvi-wev-84.log");
    for (std::string line; std::getline(log, line);) {
        if (line.find("wl_pointer] ") != std::string::npos && !line.ends_with("frame")) {
            events += std::regex_replace(line, kNoise, "$2") + "; ";
        }
    }
    return events;
}

struct GnomeInputTest : testing::MutterHeadlessTest {
    GnomeInputTest() : MutterHeadlessTest(84) {}
    void TearDown() override {
        if (wev > 0) {
            ::kill(wev, SIGTERM);
        }
        MutterHeadlessTest::TearDown();
    }
    pid_t wev = 0;
};

TEST_F(GnomeInputTest, WevSeesTapsDragsAndScrollsWhereTheyArePosted) {
    // Mutter places wev's window itself: the pointer sweeps the monitor until wev says where
    // it is, and every later point is aimed relative to the window.
    freshCompositorNext();
    wev = std::stoi(run("sh -c 'stdbuf -oL wev >/tmp/quorvi-wev-84.log 2>&1 & echo $!'").output);
    auto displays = std::make_shared<GnomeDisplayServices>();
    ASSERT_TRUE(eventually([&] { return displays->mainDisplayID() != 0; }));
    GnomeEventPoster poster(displays);
    std::optional<DisplayPoint> window;
    const std::regex seen(R"((?:enter|motion): (\S+) (\S+);)");
    for (double y = 50; y < 1200 && !window; y += 200) {
        for (double x = 50; x < 1920 && !window; x += 200) {
            const std::size_t before = pointerEvents().size();
            poster.moveMouse({x, y});
            std::smatch at;
            std::string events;
            if (eventually([&] { return pointerEvents().size() != before; }, 100ms) &&
                std::regex_search(events = pointerEvents().substr(before), at, seen)) {
                window = DisplayPoint{x - std::stod(at[1]), y - std::stod(at[2])};
            }
        }
    }
    ASSERT_TRUE(window) << pointerEvents();
    const std::size_t sweep = pointerEvents().size();
    const auto at = [&](double x, double y) { return DisplayPoint{window->x + x, window->y + y}; };
    poster.pressLeftButton(at(50.5, 30.25));
    poster.releaseLeftButton(at(50.5, 30.25));
    poster.pressLeftButton(at(10, 10));
    poster.dragMouse(at(20.25, 15));
    poster.releaseLeftButton(at(20.25, 15));
    poster.scrollPixels(-20, 30);
    // Mutter 43 turns the finish into an empty frame of the finger source, without axis_stop.
    ASSERT_TRUE(eventually([] { return pointerEvents().ends_with("-30.00; finger; "); }))
        << pointerEvents();
    EXPECT_EQ(pointerEvents().substr(sweep),
              "motion: 50.50 30.25; button: left pressed; button: left released; "
              "motion: 10.00 10.00; button: left pressed; motion: 20.25 15.00; "
              "button: left released; finger; axis: horizontal 20.00; axis: vertical -30.00; "
              "finger; ");
}

} // namespace
} // namespace quorvi
