// The work queue, its timer, the send grid the capture follows, the frame
// timings and the command line.
#include "platform/DisplayLayout.h"
#include "platform/RepeatingTimer.h"
#include "platform/SendTickPhase.h"
#include "platform/WorkQueue.h"
#include "server/FrameTimings.h"
#include "server/LaunchOptions.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace quorvi;

TEST(WorkQueue, RunsTasksInOrderOnItsOwnThreadAndInlineAfterShutdown) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        queue.post([&order, i] { order.push_back(i); });
    }
    const auto caller = std::this_thread::get_id();
    queue.runSync([&] {
        EXPECT_TRUE(queue.isCurrent());
        EXPECT_NE(std::this_thread::get_id(), caller);
        // From the queue itself a synchronous run cannot wait: it runs inline.
        queue.runSync([&] { order.push_back(3); });
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    // Shutting down finishes what is queued; later runs happen on the caller.
    queue.post([&order] { order.push_back(4); });
    queue.shutdown();
    queue.runSync([&] {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        order.push_back(5);
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(RepeatingTimer, TheFirstTickIsImmediateAndMayDestroyItsOwnTimer) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    std::unique_ptr<RepeatingTimer> timer;
    std::promise<void> done;
    queue.runSync([&] {
        // A one-hour period: only the immediate first tick can come.
        timer = std::make_unique<RepeatingTimer>(queue, 1h, [&] {
            timer.reset(); // what startSendingFrames does when it re-arms
            done.set_value();
        });
        timer->start();
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    queue.runSync([] {});
}

TEST(RepeatingTimer, AHandlerThatOverrunsCollapsesTheMissedTicksIntoOne) {
    WorkQueue queue("brenholt.quorvi.mac.test");
    std::unique_ptr<RepeatingTimer> timer;
    std::vector<std::chrono::steady_clock::time_point> tickTimes;
    std::promise<void> done;
    const auto started = std::chrono::steady_clock::now(); // no later than the timer's start
    queue.runSync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, 20ms, [&] {
            tickTimes.push_back(std::chrono::steady_clock::now());
            if (tickTimes.size() == 1) {
                // Three periods late: ticks 2, 3 and 4 are due at once.
                std::this_thread::sleep_for(65ms);
            }
            if (tickTimes.size() == 3) {
                timer->cancel();
                done.set_value();
            }
        });
        timer->start();
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    queue.runSync([&] { timer.reset(); });
    // One catch-up tick right after the overrun, then back on the grid (80 ms
    // after the start) rather than a burst of the three missed ones.
    ASSERT_EQ(tickTimes.size(), 3u);
    EXPECT_GE(tickTimes[2] - started, 80ms);
}

TEST(SendTickPhase, GivesTheNextTickOfTheSendGridAtAboutTheSameRate) {
    const SendTickPhase::Clock::time_point origin{1000s};
    SendTickPhase::publish(origin, 33ms);
    // A capture at 1/30 s follows the 33 ms grid.
    EXPECT_EQ(SendTickPhase::nextTickAfter(origin + 10ms, 33'333'333ns), origin + 33ms);
    EXPECT_EQ(SendTickPhase::nextTickAfter(origin + 33ms, 33'333'333ns), origin + 66ms);
    EXPECT_EQ(SendTickPhase::nextTickAfter(origin - 5ms, 33'333'333ns), origin);
    // Another rate: no phase to follow.
    EXPECT_FALSE(SendTickPhase::nextTickAfter(origin + 10ms, 66'666'666ns));
    SendTickPhase::clear();
    EXPECT_FALSE(SendTickPhase::nextTickAfter(origin + 10ms, 33'333'333ns));
}

TEST(FrameTimings, NearestRankPercentilesOfTheNewestSamples) {
    FrameTimings timings(4);
    for (int i = 1; i <= 10; ++i) {
        timings.record(1ms * i, i % 2 ? std::optional(2ms * i) : std::nullopt);
    }
    // Ticks 7 to 10 remain, and the captures of frames 3, 5, 7 and 9.
    EXPECT_EQ(timings.summaryLine(), "tick_to_sent_ms p50=8.00 p99=10.00 capture_to_sent_ms "
                                     "p50=10.00 p99=18.00 frames=10");
    EXPECT_EQ(FrameTimings().summaryLine(), "tick_to_sent_ms p50=0.00 p99=0.00 "
                                            "capture_to_sent_ms p50=0.00 p99=0.00 frames=0");
}

TEST(LaunchOptions, PortAndHeadlessAreReadAndBadValuesRefused) {
    const auto parsed = parseLaunchOptions({"--headless", "--port", "54999"}).options.value();
    EXPECT_TRUE(parsed.isHeadless);
    EXPECT_EQ(parsed.port, 54999);
    EXPECT_EQ(parseLaunchOptions({"--port=0"}).options->port, 0);
    EXPECT_EQ(parseLaunchOptions({}).options->port, 54545);
    EXPECT_EQ(parseLaunchOptions({"--bind", "127.0.0.1"}).options->bindAddress, "127.0.0.1");
    EXPECT_EQ(parseLaunchOptions({"--backend=wlroots"}).options->backend, "wlroots");
    EXPECT_EQ(parseLaunchOptions({"--backend", "gnome"}).options->backend, "gnome");
    EXPECT_EQ(parseLaunchOptions({"--backend", "kde"}).error,
              "Bureau inconnu: « kde » (attendu: x11, wlroots ou gnome)");
    EXPECT_EQ(parseLaunchOptions({}).options->backend, "");
    const auto access = parseLaunchOptions({"--allow", "lan", "--approve-new-devices"}).options;
    EXPECT_EQ(access->allowedNetworks, "lan");
    EXPECT_EQ(access->approveNewDevices, true);
    EXPECT_FALSE(parseLaunchOptions({}).options->approveNewDevices);
    const std::vector<std::string> refused[] = {
        {"--port"},       {"--bind"},           {"--colour"},   {"--port", "65536"},
        {"--port", "-1"}, {"--port", "12ab"},   {"--port", ""}, {"--port", "99999999999999999999"},
        {"--backend"},    {"--backend", "kde"}, {"--allow"}};
    for (const auto& arguments : refused) {
        const auto result = parseLaunchOptions(arguments);
        EXPECT_FALSE(result.options) << arguments.back();
        EXPECT_FALSE(result.error.empty()) << arguments.back();
    }
}

TEST(DisplayLayout, TheMainDisplayMovesToTheOriginAndTheOthersKeepTheirPlaceAroundIt) {
    const LaidOutDisplay left{1, {-1280, 100, 1280, 800}, 2560, 1600};
    const LaidOutDisplay atOrigin{2, {0, 0, 1920, 1200}, 1920, 1200};
    const LaidOutDisplay right{3, {1920, 0, 400, 300}, 800, 600};
    const LaidOutDisplay empty{4, {0, 0, 0, 0}, 0, 0};
    const struct {
        const char* name;
        std::vector<LaidOutDisplay> displays;
        std::optional<DisplayID> primary;
        DisplayID mainID;
        DisplayPoint origin;
    } cases[] = {
        {"at the origin", {left, atOrigin, right}, std::nullopt, 2, {0, 0}},
        {"the primary wins", {left, atOrigin, right}, 3, 3, {1920, 0}},
        {"else the first", {left, right}, std::nullopt, 1, {-1280, 100}},
        {"an unknown primary", {right, atOrigin}, 9, 2, {0, 0}},
        {"empty ones left out", {empty, right}, std::nullopt, 3, {1920, 0}},
        {"nothing", {empty}, std::nullopt, 0, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const GlobalDisplayLayout layout = globalDisplayLayout(c.displays, c.primary);
        EXPECT_EQ(layout.mainID, c.mainID);
        EXPECT_EQ(layout.origin, c.origin);
        ASSERT_EQ(layout.displays.size(), c.displays.size() - (c.displays[0].id == 4 ? 1 : 0));
        for (const LaidOutDisplay& moved : layout.displays) {
            const auto before = std::find_if(c.displays.begin(), c.displays.end(),
                                             [&](const auto& d) { return d.id == moved.id; });
            EXPECT_EQ(moved.rect.minX, before->rect.minX - c.origin.x);
            EXPECT_EQ(moved.rect.minY, before->rect.minY - c.origin.y);
            EXPECT_EQ(moved.pixelsWide, before->pixelsWide);
        }
    }
}

TEST(DisplayLayout, AGlobalPointLandsOnThePixelsOfItsDisplayOrOfTheNearestEdge) {
    GlobalDisplayLayout layout;
    layout.displays = {{1, {0, 0, 1920, 1200}, 1920, 1200}, {2, {1920, 0, 700, 323}, 1400, 646}};
    const double lastRow = std::nextafter(1200.0, 0.0);
    const struct {
        const char* name;
        DisplayPoint point;
        std::optional<DisplayPixel> pixel;
    } cases[] = {
        {"on the main display", {100.5, 7}, DisplayPixel{1, 100.5, 7}},
        {"scale 2 doubles", {1920 + 10.25, 300}, DisplayPixel{2, 20.5, 600}},
        {"the shared edge is the right display's", {1920, 0}, DisplayPixel{2, 0, 0}},
        {"left of everything", {-50, 40}, DisplayPixel{1, 0, 40}},
        {"below the main display", {10, 5000}, DisplayPixel{1, 10, lastRow}},
        {"below the small one", {2000, 400}, DisplayPixel{2, 160, std::nextafter(646.0, 0.0)}},
        {"NaN", {std::nan(""), 1}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(displayPixelAt(layout, c.point), c.pixel);
    }
    EXPECT_EQ(displayPixelAt(GlobalDisplayLayout{}, {0, 0}), std::nullopt);
}
