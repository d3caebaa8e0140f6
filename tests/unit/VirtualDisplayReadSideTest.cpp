#include "display/VirtualDisplayController.h"
#include "fakes/FakeDisplayServices.h"

#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace quorvi {
namespace {

using fakes::FakeDisplayServices;
using Lines = std::vector<std::string>;

TEST(VirtualDisplayReadSide, HasNoDisplayAtFirst) {
    const VirtualDisplayController controller;
    EXPECT_EQ(controller.displayID(), std::nullopt);
}

TEST(VirtualDisplayReadSide, DisplayIDCanBeReadFromSeveralThreads) {
    const VirtualDisplayController controller;
    std::thread other([&] { EXPECT_EQ(controller.displayID(), std::nullopt); });
    EXPECT_EQ(controller.displayID(), std::nullopt);
    other.join();
}

TEST(VirtualDisplayReadSide, ListsTheOnlineDisplaysInTheSystemsOrder) {
    FakeDisplayServices displays;
    displays.addDisplay(9, {1920, 0, 1280, 800});
    displays.addDisplay(2, {0, 0, 1920, 1200});
    displays.setMainID(2);
    EXPECT_EQ(VirtualDisplayController::onlineDisplayIDs(displays), (std::vector<DisplayID>{9, 2}));
}

TEST(VirtualDisplayReadSide, DescribesADisplayAtTheOrigin) {
    FakeDisplayServices displays;
    displays.addDisplay(5, {0, 0, 1512, 982});
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#5 1512x982 @ 0,0"}));
}

TEST(VirtualDisplayReadSide, DescribesEveryDisplayInOrderWithItsGlobalBounds) {
    FakeDisplayServices displays;
    displays.addDisplay(69733, {0, 0, 1920, 1200});
    displays.addDisplay(4294967295u, {1920, 0, 1280, 800});
    displays.addDisplay(12, {-1440, -900, 1440, 900});
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#69733 1920x1200 @ 0,0", "#4294967295 1280x800 @ 1920,0",
                     "#12 1440x900 @ -1440,-900"}));
}

TEST(VirtualDisplayReadSide, UsesPointsNotPixels) {
    FakeDisplayServices displays;
    // A virtual display: twice as many pixels as points.
    displays.addDisplay({3, {1512, 0, 1280, 800}, 2560, 1600});
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#3 1280x800 @ 1512,0"}));
}

TEST(VirtualDisplayReadSide, TruncatesTowardZero) {
    FakeDisplayServices displays;
    displays.addDisplay({4, {-10.7, 20.9, 1279.99, 799.5}, 0, 0});
    displays.addDisplay({6, {-0.5, 0.5, 0.9, 1.9}, 0, 0});
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays),
              (Lines{"#4 1279x799 @ -10,20", "#6 0x1 @ 0,0"}));
}

TEST(VirtualDisplayReadSide, SurvivesBoundsThatAreNotNumbers) {
    FakeDisplayServices displays;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    displays.addDisplay({8, {nan, inf, -inf, 1e300}, 0, 0});
    const Lines lines = VirtualDisplayController::onlineDisplayDescriptions(displays);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("#8 ", 0), 0u);
}

TEST(VirtualDisplayReadSide, DescribesNothingWithoutDisplays) {
    FakeDisplayServices displays;
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(displays), Lines{});
    EXPECT_EQ(VirtualDisplayController::onlineDisplayIDs(displays), std::vector<DisplayID>{});
}

TEST(DisplayRect, ContainsPointsOnItsNearEdgesOnly) {
    const DisplayRect rect{1920, 0, 1280, 800};
    EXPECT_DOUBLE_EQ(rect.maxX(), 3200);
    EXPECT_DOUBLE_EQ(rect.maxY(), 800);
    EXPECT_TRUE(rectContainsPoint(rect, {1920, 0}));
    EXPECT_TRUE(rectContainsPoint(rect, {3199.9, 799.9}));
    EXPECT_FALSE(rectContainsPoint(rect, {3200, 400}));
    EXPECT_FALSE(rectContainsPoint(rect, {2000, 800}));
    EXPECT_FALSE(rectContainsPoint(rect, {1919.9, 400}));
    EXPECT_FALSE(rectContainsPoint(rect, {2000, -0.1}));
    EXPECT_FALSE(rectContainsPoint(DisplayRect{}, {0, 0}));
}

} // namespace
} // namespace quorvi
