#include "input/InputInjector.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/RecordingEventPoster.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <tuple>

namespace quorvi {
namespace {

using Poster = fakes::RecordingEventPoster;
using Events = std::vector<Poster::Event>;

constexpr DisplayID kMain = 1;
constexpr DisplayID kRight = 7;
constexpr DisplayID kLeft = 8;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class InputInjectorTest : public ::testing::Test {
protected:
    InputInjectorTest() {
        displays.addDisplay(kMain, {0, 0, 1920, 1200});
        displays.addDisplay(kRight, {1920, 0, 1280, 800});
        displays.addDisplay(kLeft, {-1280, -100, 1280, 800});
    }

    Events handle(const InputEventMessage& message, DisplayID id = kMain) {
        poster.clear();
        injector.handle(message, id);
        return poster.events();
    }

    fakes::FakeDisplayServices displays;
    Poster poster;
    InputInjector injector{displays, poster};
};

TEST_F(InputInjectorTest, ThePhaseAloneDecidesAndPointsFollowTheDisplaysBounds) {
    using P = Poster;
    const std::tuple<InputEventMessage, DisplayID, Events> rows[] = {
        {{.phase = "start", .x = 0.25, .y = 0.5}, kMain, {P::press(480, 600)}},
        {{.phase = "tap", .x = 0.25, .y = 0.5}, kMain, {P::press(480, 600), P::release(480, 600)}},
        {{.phase = "drag", .x = 0.5, .y = 0.25}, kMain, {P::drag(960, 300)}}, // without a start
        {{.phase = "end"}, kMain, {P::release(0, 0)}},
        {{.phase = "", .x = 0.5, .y = 0.5}, kMain, {P::move(960, 600)}},
        // Phases match case exactly.
        {{.phase = "Scroll", .x = 0.5, .y = 0.5, .dy = 1}, kMain, {P::move(960, 600)}},
        // The kind is never looked at.
        {{.kind = "stats", .phase = "tap"}, kMain, {P::press(0, 0), P::release(0, 0)}},
        {{.phase = "move", .x = 0.5, .y = 0.5}, kLeft, {P::move(-640, 300)}},
        // Neither clamped nor rounded.
        {{.phase = "move", .x = 1.2, .y = 0.5}, kRight, {P::move(3456, 400)}},
        {{.phase = "move", .x = -0.5, .y = -0.25}, kRight, {P::move(1280, -200)}},
        {{.phase = "move", .x = 0.0001, .y = 0.5}, kMain, {P::move(0.0001 * 1920, 600)}},
        // An unknown display maps through empty bounds.
        {{.phase = "tap", .x = 0.5, .y = 0.5}, 99, {P::press(0, 0), P::release(0, 0)}},
    };
    for (const auto& [message, display, events] : rows) {
        SCOPED_TRACE("phase \"" + message.phase + "\"");
        EXPECT_EQ(handle(message, display), events);
    }
    // The bounds are read again for every message.
    displays.removeDisplay(kMain);
    displays.addDisplay(kMain, {100, 0, 1000, 500});
    EXPECT_EQ(handle({.phase = "move", .x = 0.5, .y = 0.5}), (Events{Poster::move(600, 250)}));
}

TEST_F(InputInjectorTest, ScrollIsMinus1200TimesTheAmountClampedTo120AndTruncated) {
    const std::tuple<double, double, Events> rows[] = {
        {0, 0.05, {Poster::scroll(0, -60)}},
        {-0.025, 0.01, {Poster::scroll(30, -12)}},
        {0, -1, {Poster::scroll(0, 120)}},
        {0, 1, {Poster::scroll(0, -120)}},
        {0.1, -0.1, {Poster::scroll(-120, 120)}},   // exactly at both bounds
        {-0.0015, 0.0015, {Poster::scroll(1, -1)}}, // ±1.8 toward zero
        {0.0005, 0.0008, {}},                       // both truncate to 0: nothing
        {-kInf, kInf, {Poster::scroll(120, -120)}},
        // Not a number scrolls nothing along its axis.
        {kNaN, 0.05, {Poster::scroll(0, -60)}},
        {0.05, -kNaN, {Poster::scroll(-60, 0)}},
    };
    for (const auto& [dx, dy, events] : rows) {
        SCOPED_TRACE(std::to_string(dx) + ", " + std::to_string(dy));
        // The point plays no part.
        EXPECT_EQ(handle({.phase = "scroll", .x = kNaN, .y = -3, .dx = dx, .dy = dy}), events);
    }
}

TEST_F(InputInjectorTest, NonFiniteCoordinatesArePassedOnWithoutHarm) {
    const Events events = handle({.phase = "tap", .x = kNaN, .y = 1e308});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(std::isnan(events[0].point.x));
    EXPECT_TRUE(std::isinf(events[1].point.y));
}

} // namespace
} // namespace quorvi
