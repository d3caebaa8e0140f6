#include "input/InputInjector.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/RecordingEventPoster.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace quorvi {
namespace {

using fakes::FakeDisplayServices;
using Poster = fakes::RecordingEventPoster;
using Events = std::vector<Poster::Event>;

constexpr DisplayID kMain = 1;
constexpr DisplayID kRight = 7;

class InputInjectorTest : public ::testing::Test {
protected:
    InputInjectorTest() {
        displays.addDisplay(kMain, {0, 0, 1920, 1200});
        displays.addDisplay(kRight, {1920, 0, 1280, 800});
    }

    Events handle(const std::string& phase, double x, double y, double dx = 0, double dy = 0,
                  DisplayID id = kMain) {
        InputEventMessage message;
        message.phase = phase;
        message.x = x;
        message.y = y;
        message.dx = dx;
        message.dy = dy;
        poster.clear();
        injector.handle(message, id);
        return poster.events();
    }

    Events scroll(double dx, double dy) { return handle("scroll", 0.5, 0.5, dx, dy); }

    FakeDisplayServices displays;
    Poster poster;
    InputInjector injector{displays, poster};
};

TEST_F(InputInjectorTest, StartPressesTheLeftButtonAtThePoint) {
    EXPECT_EQ(handle("start", 0.25, 0.5), (Events{Poster::press(480, 600)}));
}

TEST_F(InputInjectorTest, TapPressesThenReleasesAtOnePointWithNothingBetween) {
    EXPECT_EQ(handle("tap", 0.25, 0.5),
              (Events{Poster::press(480, 600), Poster::release(480, 600)}));
}

TEST_F(InputInjectorTest, DragMovesWithTheButtonHeld) {
    EXPECT_EQ(handle("drag", 0.5, 0.25), (Events{Poster::drag(960, 300)}));
}

TEST_F(InputInjectorTest, EndReleasesEvenWithoutAStart) {
    EXPECT_EQ(handle("end", 0, 0), (Events{Poster::release(0, 0)}));
}

TEST_F(InputInjectorTest, AnyOtherPhaseOnlyMoves) {
    EXPECT_EQ(handle("hover", 0.5, 0.5), (Events{Poster::move(960, 600)}));
    EXPECT_EQ(handle("", 0.5, 0.5), (Events{Poster::move(960, 600)}));
    EXPECT_EQ(handle("viewport", 0.5, 0.5), (Events{Poster::move(960, 600)}));
}

TEST_F(InputInjectorTest, PhasesMatchCaseSensitively) {
    EXPECT_EQ(handle("Start", 0.5, 0.5), (Events{Poster::move(960, 600)}));
    EXPECT_EQ(handle("TAP", 0.5, 0.5), (Events{Poster::move(960, 600)}));
    EXPECT_EQ(handle("end ", 0.5, 0.5), (Events{Poster::move(960, 600)}));
    EXPECT_EQ(handle("Scroll", 0.5, 0.5, 0, 1), (Events{Poster::move(960, 600)}));
}

TEST_F(InputInjectorTest, TheKindIsNeverLookedAt) {
    InputEventMessage message;
    message.kind = "stats";
    message.phase = "tap";
    message.x = 0.5;
    message.y = 0.5;
    injector.handle(message, kMain);
    EXPECT_EQ(poster.events(), (Events{Poster::press(960, 600), Poster::release(960, 600)}));
}

TEST_F(InputInjectorTest, FractionsMapThroughTheTargetDisplaysBounds) {
    EXPECT_EQ(handle("move", 0.5, 0.5, 0, 0, kRight), (Events{Poster::move(2560, 400)}));
    EXPECT_EQ(handle("move", 0, 0, 0, 0, kRight), (Events{Poster::move(1920, 0)}));
    EXPECT_EQ(handle("move", 1, 1, 0, 0, kRight), (Events{Poster::move(3200, 800)}));
}

TEST_F(InputInjectorTest, PointsAreNeitherClampedNorRounded) {
    EXPECT_EQ(handle("move", 1.2, 0.5, 0, 0, kRight), (Events{Poster::move(3456, 400)}));
    EXPECT_EQ(handle("move", -0.5, -0.25, 0, 0, kRight), (Events{Poster::move(1280, -200)}));
    EXPECT_EQ(handle("move", 0.0001, 0.3333, 0, 0, kMain),
              (Events{Poster::move(0.0001 * 1920, 0.3333 * 1200)}));
}

TEST_F(InputInjectorTest, GlobalPointFollowsTheBoundsOfDisplaysLeftOfOrAboveTheMain) {
    const DisplayRect left{-1280, -100, 1280, 800};
    EXPECT_EQ(InputInjector::globalPoint(left, 0.5, 0.5), (DisplayPoint{-640, 300}));
}

TEST_F(InputInjectorTest, AnUnknownDisplayMapsThroughEmptyBounds) {
    EXPECT_EQ(handle("tap", 0.5, 0.5, 0, 0, 99),
              (Events{Poster::press(0, 0), Poster::release(0, 0)}));
}

TEST_F(InputInjectorTest, TheBoundsAreReadForEveryMessage) {
    handle("move", 0.5, 0.5);
    handle("scroll", 0.5, 0.5, 0, 0.05);
    EXPECT_EQ(displays.boundsQueries(), 2);
}

TEST_F(InputInjectorTest, ScrollIsMinus1200TimesTheAmount) {
    EXPECT_EQ(scroll(0, 0.05), (Events{Poster::scroll(0, -60)}));
    EXPECT_EQ(scroll(0.05, 0), (Events{Poster::scroll(-60, 0)}));
    EXPECT_EQ(scroll(-0.025, 0.01), (Events{Poster::scroll(30, -12)}));
}

TEST_F(InputInjectorTest, ScrollClampsTo120) {
    EXPECT_EQ(scroll(0, -1), (Events{Poster::scroll(0, 120)}));
    EXPECT_EQ(scroll(0, 1), (Events{Poster::scroll(0, -120)}));
    EXPECT_EQ(scroll(0, 0.1), (Events{Poster::scroll(0, -120)}));
    EXPECT_EQ(scroll(-0.1, 0), (Events{Poster::scroll(120, 0)}));
}

TEST_F(InputInjectorTest, ScrollTruncatesTowardZero) {
    // -1200 x 0.0015 = -1.8, and 1200 x 0.0015 = 1.8
    EXPECT_EQ(scroll(-0.0015, 0.0015), (Events{Poster::scroll(1, -1)}));
}

TEST_F(InputInjectorTest, ScrollPostsNothingWhenBothTruncateToZero) {
    EXPECT_EQ(scroll(0.0005, 0.0008), Events{});
    EXPECT_EQ(scroll(0, 0), Events{});
}

TEST_F(InputInjectorTest, ScrollIgnoresThePoint) {
    EXPECT_EQ(handle("scroll", 5, -3, 0, 0.05), (Events{Poster::scroll(0, -60)}));
    EXPECT_EQ(handle("scroll", std::nan(""), std::nan(""), 0, 0.05),
              (Events{Poster::scroll(0, -60)}));
}

TEST_F(InputInjectorTest, InfiniteAmountsAreClampedLikeAnyLargeValue) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(scroll(0, inf), (Events{Poster::scroll(0, -120)}));
    EXPECT_EQ(scroll(-inf, 0), (Events{Poster::scroll(120, 0)}));
}

TEST_F(InputInjectorTest, ANaNAmountScrollsNothingAlongItsAxis) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(scroll(nan, nan), Events{});
    EXPECT_EQ(scroll(nan, 0), Events{});
    EXPECT_EQ(scroll(nan, 0.05), (Events{Poster::scroll(0, -60)}));
    EXPECT_EQ(scroll(0.05, -nan), (Events{Poster::scroll(-60, 0)}));
}

TEST_F(InputInjectorTest, NonFiniteCoordinatesArePassedOnWithoutHarm) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Events events = handle("tap", nan, 0.5);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(std::isnan(events[0].point.x));
    EXPECT_EQ(events[0].point.y, 600);
    const Events far = handle("move", 1e308, 0.5);
    ASSERT_EQ(far.size(), 1u);
    EXPECT_TRUE(std::isinf(far[0].point.x));
}

TEST_F(InputInjectorTest, EachMessageStandsAlone) {
    handle("start", 0.1, 0.1);
    EXPECT_EQ(handle("drag", 0.2, 0.2), (Events{Poster::drag(384, 240)}));
    EXPECT_EQ(handle("drag", 0.3, 0.3), (Events{Poster::drag(576, 360)}));
    EXPECT_EQ(handle("end", 0.3, 0.3), (Events{Poster::release(576, 360)}));
    EXPECT_EQ(handle("end", 0.3, 0.3), (Events{Poster::release(576, 360)}));
}

TEST_F(InputInjectorTest, CopiesPostThroughTheSameSeams) {
    const InputInjector copy = injector;
    InputEventMessage message;
    message.phase = "end";
    copy.handle(message, kMain);
    EXPECT_EQ(poster.events(), (Events{Poster::release(0, 0)}));
}

TEST(InputInjectorWheelAmounts, FollowTheFormula) {
    EXPECT_EQ(InputInjector::wheelAmounts(0, 0.05), (InputInjector::WheelAmounts{0, -60}));
    EXPECT_EQ(InputInjector::wheelAmounts(0.0005, 0.0008), (InputInjector::WheelAmounts{0, 0}));
    EXPECT_EQ(InputInjector::wheelAmounts(-2, 2), (InputInjector::WheelAmounts{120, -120}));
    // -1200 x 0.1 = -120 exactly: at the lower bound.
    EXPECT_EQ(InputInjector::wheelAmounts(0.1, -0.1), (InputInjector::WheelAmounts{-120, 120}));
}

} // namespace
} // namespace quorvi
